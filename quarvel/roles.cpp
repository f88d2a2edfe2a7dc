// quarvel's role table: the entry point of every role body (see roles.h).
//
// A null entry is a role this build lacks: main refuses those runs with a
// plain message. Each module that arrives fills its own entries here.
#include "quarvel/roles.h"

#include "quarvel/reporter.h"

const RoleTable kRoles = {
    /*reporter_spawn=*/reporter_spawn,
    /*listener_spawn=*/nullptr,
    /*server_spawn=*/nullptr,
    /*client_spawn=*/nullptr,
    /*init_multi=*/InitMulti,
    /*process_init=*/nullptr,
    /*process_cleanup=*/nullptr,
};
