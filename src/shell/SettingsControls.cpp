#include "SettingsControls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <sys/stat.h>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "IniFile.h"
#include "MessageBox.h"
#include "text_helpers.h"

void ShowSettings(Controls& ui, FormState& state, const StartupSettings& s) {
  ui.cb_comport->setCurrentIndex(s.comPortIndex);
  ui.cb_speed->setCurrentIndex(s.speedIndex);
  ui.cb_autoconnect->setChecked(s.autoConnect);
  ui.cb_autoread->setChecked(s.autoRead);
  ui.cb_autosend->setChecked(s.autoSend);
  ui.cb_dos->setChecked(s.dosCodepage);
  ui.cb_rts->setChecked(s.rts);
  ui.cb_dtr->setChecked(s.dtr);
  // The ties to auto-connect are already in the settings.
  ui.cb_offline->setChecked(s.offLine);
  ui.cb_sendoptions->setChecked(s.sendOptions);
  // These keys only ever change their box away from its default.
  if (!s.batteryCheck) ui.cb_bat->setChecked(false);
  if (s.soundSilent) ui.cb_sound_silent->setChecked(true);
  if (s.appendFile) ui.cb_appendfile->setChecked(true);
  if (s.inCalls) ui.cb_calls->setChecked(true);
  if (s.saveCalls) ui.cb_call_save->setChecked(true);
  // The list type is enabled once, after the ties.
  ui.cb_smstype->setEnabled(!ui.cb_autoread->isChecked());
  state.PollingInterval = s.pollingInterval;
  ui.ed_polint->setText(QString::number(s.pollingInterval));
  state.WatchInterval = s.watchInterval;
  ui.Ed_watchInt->setText(QString::number(s.watchInterval));
  if (s.logDir) ui.ed_LogDir->setText(FromAnsi(*s.logDir));
  if (s.watchDir) ui.Ed_watchDir->setText(FromAnsi(*s.watchDir));

  ui.cb_simcheck->setChecked(s.simCheck);
  ui.ed_pin->setText(QString::fromLatin1(s.pin.c_str()));
  state.SignalInterval = s.signalInterval;
  ui.ed_signalInt->setText(QString::number(s.signalInterval));
  state.FastMode = s.fastMode;
  ui.cb_fastmode->setChecked(s.fastMode);
  state.LongMessages = s.longMessages;
  state.ShiftTables = s.shiftTables;
  state.Utf8Files = s.utf8Files;
  state.Spool = s.spool;
  state.GatewayName = s.gatewayName;
  state.SpoolOnly = !s.spool.empty() && !s.watchDir;
}

SavedSettings CollectSettings(const Controls& ui) {
  SavedSettings s;
  s.comPortIndex = ui.cb_comport->currentIndex() < 0 ? 0 : ui.cb_comport->currentIndex();
  s.speedText = ui.cb_speed->currentText().toStdString();
  s.autoConnect = ui.cb_autoconnect->isChecked();
  s.autoRead = ui.cb_autoread->isChecked();
  s.autoSend = ui.cb_autosend->isChecked();
  s.pollingText = ui.ed_polint->text().toStdString();
  s.watchText = ui.Ed_watchInt->text().toStdString();
  s.logDir = ToAnsi(ui.ed_LogDir->text());
  s.watchDir = ToAnsi(ui.Ed_watchDir->text());
  s.dosCodepage = ui.cb_dos->isChecked();
  s.dtr = ui.cb_dtr->isChecked();
  s.rts = ui.cb_rts->isChecked();
  s.batteryCheck = ui.cb_bat->isChecked();
  s.soundSilent = ui.cb_sound_silent->isChecked();
  s.appendFile = ui.cb_appendfile->isChecked();
  s.offLine = ui.cb_offline->isChecked();
  s.sendOptions = ui.cb_sendoptions->isChecked();
  s.inCalls = ui.cb_calls->isChecked();
  s.saveCalls = ui.cb_call_save->isChecked();
  s.simCheck = ui.cb_simcheck->isChecked();
  s.pin = ui.ed_pin->text().toStdString();
  s.signalText = ui.ed_signalInt->text().toStdString();

  s.fastMode = ui.cb_fastmode->isChecked();
  return s;
}

void SettingsSaved(FormState& state, const SavedSettings& saved) {
  if (!state.RejectedPin.empty() && std::string(pdulink::TrimBlanks(saved.pin)) != state.RejectedPin)
    state.RejectedPin.clear();
}

void ed_signalIntExit(Controls& ui, FormState& state) {
  state.SignalInterval = SignalIntervalFrom(ui.ed_signalInt->text().toStdString()).value_or(0);
  ui.ed_signalInt->setText(QString::number(state.SignalInterval));
}

bool SaveSettingsFile(const Controls& ui, FormState& state) {
  SavedSettings s = CollectSettings(ui);
  s.longMessages = state.LongMessages;
  s.shiftTables = state.ShiftTables;
  s.utf8Files = state.Utf8Files;
  s.matchReports = state.MatchReports;

  // An existing file that cannot be read must not be replaced by the keys
  // alone: its other lines would be lost.
  IniFile ini;
  struct stat st {};
  bool exists = ::stat(state.ConfigPath.c_str(), &st) == 0;
  bool ok = !exists || ini.Load(state.ConfigPath);
  if (ok) {
    WriteSettings(ini, s);
    WriteIndicationsKey(ini, state.Indications);
    WriteSpoolKeys(ini, state.Spool, state.GatewayName);
    ok = ini.SaveTo(state.ConfigPath);
  }
  const std::string shown = LocalToAnsi(state.ConfigPath);
  if (ok) SettingsSaved(state, s);
  ShowMessage(ok ? "\xCE\xCA Saved INI File:" + shown : "ERROR Save INI File:" + shown);
  return ok;
}
