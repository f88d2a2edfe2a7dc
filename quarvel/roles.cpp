// quarvel's role table: the entry point of every role body (see roles.h).
//
// A null entry is a role this build lacks: main refuses those runs with a
// plain message. Each module that arrives fills its own entries here.
#include "quarvel/roles.h"

#include "quarvel/client.h"
#include "quarvel/listener.h"
#include "quarvel/reporter.h"
#include "quarvel/server.h"

const RoleTable kRoles = {
    /*reporter_spawn=*/reporter_spawn,
    /*listener_spawn=*/listener_spawn,
    /*server_spawn=*/server_spawn,
    /*client_spawn=*/client_spawn,
    /*init_multi=*/InitMulti,
    /*process_init=*/nullptr,
    /*process_cleanup=*/listener_process_cleanup,
};
