// Stand-in for the peer version text, until the settings-and-connection text
// module defines it. Weak, so that the real routine linked in beside it takes
// its place without a clash; delete it when that routine arrives.
#include "toril/reporting/report.h"
