#pragma once
// Settings to controls and back: what start-up shows from the configuration
// file, and what Save collects from the controls.
#include "Settings.h"

struct Controls;
struct FormState;

// Sets the controls (and the intervals of the form state) from the file's
// settings, in start-up order. Locking (q_mode) and the journal line for an
// out-of-range port are left to the caller.
void ShowSettings(Controls& ui, FormState& state, const StartupSettings& s);

// The settings as the controls show them now.
SavedSettings CollectSettings(const Controls& ui);
