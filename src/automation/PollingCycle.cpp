#include "PollingCycle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include "AnsiText.h"
#include "Connection.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "Lamp.h"
#include "PollClock.h"
#include "SerialPort.h"
#include "Settings.h"
#include "Transaction.h"
#include "TrayState.h"

PollingCycle::PollingCycle(Context& ctx, Transaction& dialogue, Connection& connection)
    : ExitPause([] { QThread::msleep(1000); }),
      ui_(ctx.ui),
      state_(ctx.state),
      journal_(ctx.journal),
      tray_(ctx.tray),
      comport_(ctx.comport),
      clock_(ctx.clock),
      dialogue_(dialogue),
      connection_(connection) {}

void PollingCycle::timer1Timer() {
  clock_.Advance();
  if (Heartbeat) Heartbeat();
  if (duties.Tick) duties.Tick();
  if (state_.DeviceLost && clock_.PendingCommand == kNoCommand && !busy_ && DeviceBack && DeviceBack())
    ConnectAgain("device back");
  // Ticks also come nested inside a running connect or pass (its waits let
  // the window work). A connect or pass posted meanwhile stays pending until
  // that one has ended: a nested one would talk to the phone in the middle
  // of its dialogue and serve the latched requests a second time. Disconnect
  // and Exit act at once, except while a written PDU's answer is owed.
  switch (clock_.PendingCommand) {
    case kConnect:
      if (!busy_) ConnectStep();
      break;
    case kDutyPass:
      if (!busy_) DutyPass();
      break;
    case kDisconnect:
    case kExit:
      if (!clock_.AnswerOwed) DisconnectStep(clock_.PendingCommand);
      break;
    default: break;
  }
}

void PollingCycle::ConnectAgain(const std::string& why) {
  state_.DeviceLost = false;
  dialogue_.EchoBack = false;
  dialogue_.PowerOnSeen = false;
  dialogue_.SettingsLost = false;
  ++state_.PhoneRestarts;
  std::string port = comport_.CommPort();
  if (!comport_.DevicePath().empty() && comport_.DevicePath() != port) port += " (" + LocalToAnsi(comport_.DevicePath()) + ")";
  journal_.WriteLog("Port " + port + ": " + why + ", connecting again");
  clock_.PendingCommand = kConnect;
}

void PollingCycle::ConnectStep() {
  if (clock_.SecondsCounter % 3 != 0) return;
  state_.DeviceLost = false;
  clock_.PendingCommand = kNoCommand;
  Busy busy(busy_);
  connection_.b_open();
  ui_.sb_connect->setChecked(false);
  if (dialogue_.OkFlag && ui_.cb_autoread->isChecked()) journal_.WriteLog("AutoReading Mode.");
}

void PollingCycle::DutyPass() {
  if (busy_) return;
  Busy busy(busy_);
  clock_.PendingCommand = kNoCommand;
  const uint32_t snapshot = clock_.SecondsCounter;
  lastPassAt_ = snapshot;

  if (!comport_.Active() && !dialogue_.OfflineSession) {
    tray_.SetTrayState(3, "Connection Lost");
  } else {
    if (dialogue_.RingFlag && ui_.cb_calls->isChecked() && duties.CheckIncomingCall)
      journal_.WriteLog(duties.CheckIncomingCall());
    if (ui_.sb_saveSmsc->isChecked() && duties.SaveSmsc) duties.SaveSmsc();
    if (ui_.sb_listSMS->isChecked() && duties.listSMS) {
      duties.listSMS();
      ui_.sb_listSMS->setChecked(false);
    }
    if (ui_.sb_sendSMS->isChecked() && duties.SendSMS && !manualSending_) {
      // The button stays down while its message goes out: guarded, so that
      // nothing running inside the send can send it again.
      Busy sending(manualSending_);
      // With Utf8Files the text goes as UTF-8, every character kept.
      const QString body = ui_.Ed_smsbody->text();
      int rc = duties.SendSMS(ToAnsi(ui_.ed_totel->text()), state_.Utf8Files ? body.toStdString() : ToAnsi(body));
      journal_.WriteLog("Send errorlevel(bytes):" + std::to_string(rc));
      ui_.sb_sendSMS->setChecked(false);
    }
    if (ui_.sb_delete->isChecked() && duties.DeleteByNumbers) duties.DeleteByNumbers();
    if (duties.ReadIndicated) duties.ReadIndicated();
    if (ui_.cb_autoread->isChecked() && state_.PollingInterval > 0 &&
        snapshot % static_cast<uint32_t>(state_.PollingInterval) == 0 && duties.listSMS) {
      ui_.cb_smstype->setCurrentIndex(0);
      ui_.cb_deletesms->setChecked(true);
      duties.listSMS();
    }
    if (ui_.cb_autosend->isChecked() && state_.WatchInterval > 0 &&
        snapshot % static_cast<uint32_t>(state_.WatchInterval) == 0 && duties.WatchTurn)
      duties.WatchTurn();
    if (ui_.cb_autosend->isChecked() && duties.SpoolTurn &&
        ((state_.WatchInterval > 0 && snapshot % static_cast<uint32_t>(state_.WatchInterval) == 0) ||
         (duties.SpoolWoken && duties.SpoolWoken())))
      duties.SpoolTurn();
    if (ui_.cb_bat->isChecked() && snapshot % 1800 == 0 && duties.CheckBattery) {
      journal_.WriteLog("Battery Check:");
      duties.CheckBattery();
    }
    if (state_.SignalInterval > 0 && snapshot % static_cast<uint32_t>(state_.SignalInterval) == 0 &&
        duties.CheckSignal)
      duties.CheckSignal();
    // The next pass, unless Disconnect, Exit or Connect was asked for during
    // this one and has not been carried out yet: posting over it would lose
    // the operator's request.
    if (!clock_.StopPosted() && clock_.PendingCommand != kConnect) clock_.PendingCommand = kDutyPass;
    ScheduleSpoolBurst();
    // A phone that echoes again has restarted with its power-on settings.
    if (dialogue_.PowerOnSeen && !clock_.StopPosted()) ConnectAgain("phone restarted (power-on line)");
    else if (dialogue_.EchoBack && !clock_.StopPosted()) ConnectAgain("phone echoes again (restarted)");
    else if (dialogue_.SettingsLost && !clock_.StopPosted()) ConnectAgain("phone left PDU mode (restarted)");
  }
  if (ui_.cb_offline->isChecked() && dialogue_.OfflineSession && comport_.Active())
    clock_.PendingCommand = kDisconnect;
}

void PollingCycle::ScheduleSpoolBurst() {
  if (!duties.SpoolTurn || !duties.SpoolWoken || !ui_.cb_autosend->isChecked()) return;
  if (clock_.PendingCommand != kDutyPass || !duties.SpoolWoken()) return;
  QTimer::singleShot(0, &burstContext_, [this] { SpoolBurst(); });
}

void PollingCycle::SpoolBurst() {
  if (busy_ || clock_.PendingCommand != kDutyPass) return;
  // A tick that came while the last turn ran found the cycle busy: its
  // pass now, which schedules the next turn itself.
  if (clock_.SecondsCounter != lastPassAt_) {
    DutyPass();
    return;
  }
  if (!comport_.Active() && !dialogue_.OfflineSession) return;
  {
    Busy busy(busy_);
    duties.SpoolTurn();
  }
  ScheduleSpoolBurst();
}

bool PollingCycle::RunBetweenPasses(const std::function<void()>& step) {
  if (busy_ || clock_.PendingCommand != kDutyPass || !comport_.Active()) return false;
  Busy busy(busy_);
  step();
  return true;
}

void PollingCycle::DisconnectStep(int command) {
  ++clock_.DisconnectsRun;
  state_.DeviceLost = false;
  ui_.led_connect->SetColor(LampColor::Yellow);
  if (comport_.Active()) comport_.SetActive(false);
  if (!comport_.Active()) {
    clock_.PendingCommand = kNoCommand;
    ui_.led_connect->SetColor(LampColor::Red);
    tray_.SetTrayState(4, "Disconnected");
    journal_.WriteLog("Disconnected");
    if (!state_.LockedMode) {
      ui_.cb_comport->setEnabled(true);
      ui_.cb_speed->setEnabled(true);
    }
  }
  if (command == kExit) {
    // Waits of a pass that is still running below this tick end at once.
    dialogue_.ExitUnderway = true;
    if (StopTimer) StopTimer();
    if (ExitPause) ExitPause();
    if (CloseWindow) CloseWindow();
    return;
  }
  if (ui_.cb_offline->isChecked()) clock_.PendingCommand = kDutyPass;
}

void PollingCycle::cb_autoreadClick() {
  bool on = ui_.cb_autoread->isChecked();
  EnableReadSettings(ui_, state_, !on);
  ui_.cb_smstype->setEnabled(!on);
  state_.PollingInterval = IntervalOrDefault(ui_.ed_polint->text().toStdString(), 10);
  ui_.ed_polint->setText(QString::number(state_.PollingInterval));
  if (!on) ui_.cb_deletesms->setChecked(false);
}

void PollingCycle::cb_autosendClick() {
  EnableWatchSettings(ui_, state_, !ui_.cb_autosend->isChecked());
  state_.WatchInterval = IntervalOrDefault(ui_.Ed_watchInt->text().toStdString(), 20);
  ui_.Ed_watchInt->setText(QString::number(state_.WatchInterval));
}
