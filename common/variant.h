// Which traffic generator a shared helper behaves for.
//
// toril and quarvel link the same utilities; where quarvel's older form prints
// other texts or formats differently, the helper takes this selector instead of
// living in two copies. Plain value type, usable from any thread.
#pragma once

enum class ToolVariant {
    kToril,    // the multithreaded traffic generator (default everywhere)
    kQuarvel,  // the NAT traffic generator in its older form
};
