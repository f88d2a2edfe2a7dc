// vantrip: round-trip probe client and server.
#include "vantrip/frontend/start.h"

int main(int argc, char *argv[]) {
    return vantrip_main(argc, argv);
}
