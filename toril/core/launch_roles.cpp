// The thread body of each role in this build. A role whose code is not part
// of the build yet stays null: main then says the role is not available
// instead of starting it. Fill an entry in when its body arrives.
#include "toril/core/launch.h"
#include "toril/reporting/reporter.h"

LaunchRoles launch_roles = {
    client_spawn, server_spawn, listener_spawn,
    reporter_spawn,
};
