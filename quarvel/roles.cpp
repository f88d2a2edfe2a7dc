// quarvel's role table: the entry point of every role body (see roles.h).
//
// The reporter, the listener with its server and the client are not part of
// this build yet, so their entries are null and main refuses those runs with
// a plain message. Each module that arrives fills its own entries here.
#include "quarvel/roles.h"

const RoleTable kRoles = {
    /*reporter_spawn=*/nullptr,
    /*listener_spawn=*/nullptr,
    /*server_spawn=*/nullptr,
    /*client_spawn=*/nullptr,
    /*init_multi=*/nullptr,
    /*process_init=*/nullptr,
    /*process_cleanup=*/nullptr,
};
