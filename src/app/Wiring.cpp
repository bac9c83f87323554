// Every connection of the program: which control, timer tick or port event
// reaches which part, and what the parts call back. The parts themselves
// take plain calls and callables; only this file knows both sides.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QKeySequence>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <initializer_list>
#include <unistd.h>
#include <memory>
#include <vector>

#include "Battery.h"
#include "Calls.h"
#include "Connection.h"
#include "DeliveryReports.h"
#include "Gateway.h"
#include "Indications.h"
#include "Journal.h"
#include "MainWindow.h"
#include "PollingCycle.h"
#include "Replies.h"
#include "Receiving.h"
#include "SerialPort.h"
#include "Sending.h"
#include "ServiceCentre.h"
#include "SettingsControls.h"
#include "SpoolInbox.h"
#include "Signal.h"
#include "StoreAlarm.h"
#include "SpoolTurn.h"
#include "Transaction.h"
#include "TrayState.h"
#include "WatchTurn.h"
#include "codepage.h"
#include "sms_decode.h"

namespace {

// Two latching buttons or more where at most one is down: pressing one
// releases the others, pressing a down button releases it.
void LatchGroup(std::initializer_list<QToolButton*> buttons) {
  std::vector<QToolButton*> group(buttons);
  for (QToolButton* b : group) {
    QObject::connect(b, &QToolButton::toggled, b, [b, group](bool down) {
      if (!down) return;
      for (QToolButton* other : group)
        if (other != b) other->setChecked(false);
    });
  }
}

}  // namespace

void Gateway::Wire() {
  WirePort();
  FillDuties();
  WireControls();
  WireIndications();
}

void Gateway::WirePort() {
  comport_->OnRxClusterEvent = [this](TSerialPort&) { dialogue_->comportRxClusterEvent(); };
  // The port's reports that an operator can act on go to the journal: a
  // device that cannot be opened, vanishes, or refuses writes. The rest
  // (state messages, a pseudo-terminal's refused modem-line requests) stay
  // out of it.
  comport_->OnProcessError = [this](void*, uint32_t place, uint32_t code, const std::string& msg) {
    switch (place) {
      case 112: case 903: case 9701: case 9702: case 9804: case 9907: break;
      default: return;
    }
    journal_->WriteLog(PortReportLine(comport_->CommPort(), comport_->DevicePath(), place, code, msg));
    // The device went away under the open port: reopened once it is back.
    if (place == 9907) state_.DeviceLost = true;
  };
  // Back means openable again (a /dev/serial/by-id/ link resolves anew).
  cycle_->DeviceBack = [this] {
    const std::string path = comport_->DevicePath();
    return !path.empty() && ::access(path.c_str(), R_OK | W_OK) == 0;
  };
}

void Gateway::FillDuties() {
  PollingCycle::Duties& d = cycle_->duties;
  d.CheckIncomingCall = [this] { return CheckIncomingCall(); };
  // StoreAlarm: how full the store got, before each listing empties it.
  d.listSMS = [this] {
    storeAlarm_->Check();
    receiving_->listSMS();
  };
  d.SaveSmsc = [this] { serviceCentre_->SaveSmsc(); };
  d.SendSMS = [this](const std::string& number, const std::string& body) { return ManualSend(number, body); };
  d.DeleteByNumbers = [this] { receiving_->DeleteByNumbers(); };
  d.WatchTurn = [this] { watchTurn_->Run(); };
  d.CheckBattery = [this] { return battery_->CheckBattery(); };
  d.CheckSignal = [this] { signal_->CheckSignal(); };
  // Delivery reports (MatchReports): the parts sent, the files' new names,
  // and every status report the listing archives.
  watchTurn_->OnSent = [this](const std::string& fsPath, const std::string& number, int seq, int total, int ref) {
    reports_->Sent(fsPath, number, seq, total, ref);
  };
  watchTurn_->OnSettled = [this](const std::string& fsPath, const std::string& name) {
    reports_->Settled(fsPath, name);
  };
  receiving_->OnKeptPdu = [this](const std::string& pduHex) { reports_->Report(pduHex); };
  // OnReport: a final outcome, once its report file is on disk.
  reports_->OnMatched = [this](const DeliveryReports::Matched& m) {
    // The spool's row of a message sent from the outbox takes its outcome,
    // once the whole message has one.
    if (spoolTurn_ && m.messageDone)
      spoolTurn_->RecordReport(pdulink::AnsiToUtf8(m.number), m.reference,
                               QDateTime::fromString(QString::fromStdString(ScTimeIso(m.dischargeTime)), Qt::ISODate),
                               m.status);
    if (m.reportFile.empty()) return;
    RunReportHook(m.reportFile, m.sentFile, pdulink::AnsiToUtf8(m.number), pdulink::StatusReportText(m.status),
                  std::to_string(m.reference));
  };
}

void Gateway::WireSpool() {
  // The gateway's name in the spool: GatewayName=, or the configuration
  // file's name without its extension.
  std::string name = state_.GatewayName;
  if (name.empty()) name = QFileInfo(QString::fromLocal8Bit(state_.ConfigPath.c_str())).completeBaseName().toStdString();
  spoolTurn_ = std::make_unique<SpoolTurn>(
      *ctx_, *dialogue_,
      [this](const std::string& number, const std::string& body, const SendHooks& hooks) {
        return CountedSend(number, body, hooks);
      },
      state_.Spool, name);
  SpoolTurn* spool = spoolTurn_.get();
  receiving_->MayList = [spool] { return spool->MayList(); };
  receiving_->Kept = [spool](const std::string& pdu, const std::string& stem, const std::string& digest) {
    return spool->Kept(pdu, stem, digest);
  };
  receiving_->JoinedKept = [spool](const pdulink::JoinedMessage& m, const std::string& txtPath) {
    return spool->JoinedKept(m, txtPath);
  };
  PollingCycle::Duties& d = cycle_->duties;
  if (state_.SpoolOnly) d.WatchTurn = nullptr;
  d.SpoolTurn = [spool] { spool->Run(); };
  d.SpoolWoken = [spool] { return spool->Woken(); };
  d.Tick = [spool] { spool->Tick(); };
  spool->Start();
}

void Gateway::WireControls() {
  Controls& ui = ui_;
  QMainWindow* window = window_;
  LatchGroup({ui.sb_connect, ui.sb_listSMS, ui.sb_delete});
  LatchGroup({ui.sb_sendSMS, ui.sb_saveSmsc});
  // Abort only ends the wait in progress (its flag is cleared when the wait
  // ends) and Stop only the copies of one message, so their clicks are
  // counted for a watch turn's batch to end between files.
  for (QPushButton* b : {ui.b_abort, ui.b_stop_sendcycle})
    QObject::connect(b, &QPushButton::clicked, window, [this] { ++state_.StopClicks; });

  QObject::connect(ui.cb_fastmode, &QCheckBox::toggled, window, [this](bool on) { ApplyFastMode(on); });
  // What the sending operation remembers of the phone's modes holds only
  // while nothing else talks to the phone about them: a connect (pressed or
  // finished) and a command typed on the Test page make the next send
  // prepare again. A closed or reopened port is seen by the operation itself.
  QObject::connect(ui.sb_connect, &QToolButton::toggled, window, [this] { sending_->ForgetModes(); });
  QObject::connect(ui.b_send, &QPushButton::clicked, window, [this] { sending_->ForgetModes(); });

  // Qt never delivers a timer's timeout again while its handler still runs,
  // but a tick must be able to arrive inside a command wait of the previous
  // one (that is how waits time out). So the timeout only posts the tick,
  // and the tick runs as a posted call, which nested event processing does
  // deliver.
  QObject::connect(timer_, &QTimer::timeout, window, [this, window] {
    QMetaObject::invokeMethod(window, [this] { cycle_->timer1Timer(); }, Qt::QueuedConnection);
  });
  cycle_->StopTimer = [this] { timer_->stop(); };
  QObject::connect(ui.sb_connect, &QToolButton::clicked, window, [this] { connection_->sb_connectClick(); });
  QObject::connect(ui.b_abort, &QPushButton::clicked, window, [this] { dialogue_->b_abortClick(); });
  QObject::connect(ui.B_disconnect, &QPushButton::clicked, window, [this] { connection_->b_closeClick(); });
  QObject::connect(ui.Button1, &QPushButton::clicked, window, [this] { receiving_->b_parseClick(); });
  QObject::connect(ui.b_send, &QPushButton::clicked, window, [this] { dialogue_->b_sendClick(); });
  QObject::connect(ui.b_save_iniFile, &QPushButton::clicked, window, [this] { SaveSettings(); });
  QObject::connect(ui.se_vp_rByte, &QSpinBox::valueChanged, window, [this] { serviceCentre_->se_vp_rByteChange(); });
  QObject::connect(ui.b_save_send, &QPushButton::clicked, window, [this] { serviceCentre_->b_save_sendClick(); });
  // Check boxes react to every change of state, also one made by start-up.
  QObject::connect(ui.cb_dtr, &QCheckBox::toggled, window, [this](bool on) { comport_->SetDTRState(on); });
  QObject::connect(ui.cb_rts, &QCheckBox::toggled, window, [this](bool on) { comport_->SetRTSState(on); });
  QObject::connect(ui.cb_autoread, &QCheckBox::toggled, window, [this] { cycle_->cb_autoreadClick(); });
  QObject::connect(ui.cb_autosend, &QCheckBox::toggled, window, [this] { cycle_->cb_autosendClick(); });
  QObject::connect(ui.ed_signalInt, &QLineEdit::editingFinished, window, [this] { ed_signalIntExit(ui_, state_); });
}

void Gateway::WireIndications() {
  // The features that make the phone speak on its own: indications (with
  // matched reports read by them), calls taken in fast mode, and the
  // registration reports SimCheck found on; their lines are then never taken
  // for replies. Calls taken without any opt-in key keep the plain rule
  // (every burst a reply), as the gateway always had it.
  dialogue_->SpeaksOnItsOwn = [this] {
    return state_.Indications || (state_.FastMode && ui_.cb_calls->isChecked()) || state_.RegistrationReports;
  };
  dialogue_->ClusterTaken = [this](const std::string& text) {
    storeAlarm_->Seen(text);
    // A report keeps the network state current (status, spool row).
    if (state_.RegistrationReports && text.find("+CREG:") != std::string::npos)
      if (const int stat = ParseCregReply(text); stat >= 0) state_.NetworkState = RegistrationText(stat);
    if (!state_.Indications) return;
    indications_->Seen(text);
    // Fast mode reads at once when no pass is running; otherwise the next
    // pass does.
    if (state_.FastMode && indications_->Pending())
      QMetaObject::invokeMethod(
          window_, [this] { cycle_->RunBetweenPasses([this] { ReadIndicated(); }); }, Qt::QueuedConnection);
  };
  receiving_->OnListed = [this](const std::vector<ListedMessage>& listed) {
    if (state_.Indications) indications_->Listed(listed);
  };
  cycle_->duties.ReadIndicated = [this] { ReadIndicated(); };
}

void Gateway::ReadIndicated() {
  if (!state_.Indications || !indications_->Pending()) return;
  if (!ui_.cb_autoread->isChecked()) {
    indications_->Forget();
    return;
  }
  // As an automatic reading turn: what is kept is deleted.
  ui_.cb_deletesms->setChecked(true);
  indications_->ReadNoted(connection_->SmsMemory);
}

void WireWindow(TForm1& window) {
  Controls& ui = window.ui();
  TForm1* w = &window;
  window.cycle().CloseWindow = [w] { w->CloseAtExit(); };
  // The Test page stays hidden for everyday use; people who debug a modem
  // open it with Ctrl+Shift+T.
  auto* showTest = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T), w);
  QObject::connect(showTest, &QShortcut::activated, w, &TForm1::ShowTestPage);
  QObject::connect(ui.b_exit, &QPushButton::clicked, w, &TForm1::b_exitClick);
  // The operator choosing another item unchecks Delete; choosing the item
  // already shown does not, and neither does the program showing the type
  // it lists (the listing, the duty pass, /list). A pick changes the item
  // and reports itself as activated in the same call; a change that no pick
  // claims before the next pass of the event loop came from the program.
  auto smstypeChanged = std::make_shared<bool>(false);
  QObject::connect(ui.cb_smstype, &QComboBox::currentIndexChanged, w, [w, smstypeChanged] {
    *smstypeChanged = true;
    QMetaObject::invokeMethod(w, [smstypeChanged] { *smstypeChanged = false; }, Qt::QueuedConnection);
  });
  QObject::connect(ui.cb_smstype, &QComboBox::activated, w, [w, smstypeChanged] {
    if (*smstypeChanged) w->cb_smstypeChange();
    *smstypeChanged = false;
  });
  QObject::connect(ui.Button4, &QPushButton::clicked, w, &TForm1::Button1Click);
  QObject::connect(ui.b_log2clip, &QPushButton::clicked, w, &TForm1::b_log2clipClick);
  QObject::connect(ui.Button3, &QPushButton::clicked, w, &TForm1::Button3Click);
  QObject::connect(ui.Ed_smsbody, &QLineEdit::textChanged, w, &TForm1::Ed_smsbodyChange);
  QObject::connect(ui.b_stop_sendcycle, &QPushButton::clicked, w, &TForm1::b_stop_sendcycleClick);
  QObject::connect(window.tray().Icon(), &QSystemTrayIcon::activated, w, [w](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) w->rxTrayIClick();
  });
}
