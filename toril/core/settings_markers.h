// Process-wide markers that option parsing leaves for the option checks.
//
// Internal to toril/core: written by Settings_Interpret, read and cleared by
// Settings_ModalOptions, reset by Settings_Initialize. Start-up thread only.
#pragma once

struct SettingsMarkers {
    bool run_forever;             // -t 0 or a negative -t
    bool l2checks;                // --l2checks was given
    bool bounceback_no_quickack;  // --bounceback-no-quickack was given
};

extern SettingsMarkers settings_markers;

// Clears the markers above and any pending long option.
void settings_markers_reset();
