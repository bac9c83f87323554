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

// Save: the settings the controls show written into the configuration file
// (state.ConfigPath), its other lines kept; a file that exists but cannot be
// read is left alone. A message box says how it went; true when saved.
bool SaveSettingsFile(const Controls& ui, FormState& state);

// After a successful Save: a PIN the SIM refused may be sent again once
// another PIN has been saved.
void SettingsSaved(FormState& state, const SavedSettings& saved);

// The signal check interval typed into its field: the running interval
// becomes that value, or 0 (and the field shows 0) when it is no number
// of seconds.
void ed_signalIntExit(Controls& ui, FormState& state);
