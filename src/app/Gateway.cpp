#include "Gateway.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <cerrno>
#include <cstdio>
#include <map>
#include <sys/stat.h>
#include <system_error>

#include "AnsiText.h"
#include "Battery.h"
#include "Calls.h"
#include "Connection.h"
#include "HookRunner.h"
#include "Controls.h"
#include "DeliveryReports.h"
#include "FormState.h"
#include "IniFile.h"
#include "Indications.h"
#include "Journal.h"
#include "Lamp.h"
#include "MessageBox.h"
#include "PollingCycle.h"
#include "QtUiDispatcher.h"
#include "Receiving.h"
#include "SerialPort.h"
#include "Signal.h"
#include "StoreAlarm.h"
#include "SpoolTurn.h"
#include "Sending.h"
#include "ServiceCentre.h"
#include "Settings.h"
#include "SettingsControls.h"
#include "Transaction.h"
#include "TrayState.h"
#include "WatchTurn.h"
#include "WindowLayout.h"
#include "codepage.h"

Gateway::Gateway(QMainWindow* window) : window_(window) {
  BuildControls(window, ui_);
  timer_ = new QTimer(window);
  timer_->setObjectName(QStringLiteral("timer1"));
  timer_->setInterval(1000);

  journal_ = std::make_unique<Journal>(ui_.Memo2);
  tray_ = std::make_unique<TrayState>(window);
  dispatcher_ = std::make_unique<QtUiDispatcher>(window);
  comport_ = std::make_unique<TSerialPort>(*dispatcher_, window);
  // The window's stored settings for the port, in this order: the char
  // delays computed by the baud-rate setter are then overwritten by 43.
  comport_->SetCommPort("COM1");
  comport_->SetBaudRate(19200);
  comport_->SetRTOCharDelayTime(43);
  comport_->SetWTOCharDelayTime(43);
  comport_->SetErrorNoise(255);

  ctx_ = std::make_unique<Context>(Context{ui_, state_, *journal_, *tray_, *comport_, clock_});
  dialogue_ = std::make_unique<Transaction>(*ctx_);
  connection_ = std::make_unique<Connection>(*ctx_, *dialogue_);
  receiving_ = std::make_unique<Receiving>(*ctx_, *dialogue_);
  cycle_ = std::make_unique<PollingCycle>(*ctx_, *dialogue_, *connection_);
  battery_ = std::make_unique<Battery>(*ctx_, *dialogue_);
  signal_ = std::make_unique<SignalCheck>(*ctx_, *dialogue_);
  // A recorded call goes through the message archive like a listed message.
  calls_ = std::make_unique<Calls>(*ctx_, *dialogue_, [this](const std::string& pduHex, bool save) {
    return receiving_->ArchiveMessage(pduHex, save);
  });
  sending_ = std::make_unique<Sending>(*ctx_, *dialogue_);
  serviceCentre_ = std::make_unique<ServiceCentre>(*ctx_, *dialogue_);
  watchTurn_ = std::make_unique<WatchTurn>(
      *ctx_, *dialogue_, [this](const std::string& number, const std::string& body, const SendHooks& hooks) {
        return CountedSend(number, body, hooks);
      });
  reports_ = std::make_unique<DeliveryReports>(*ctx_);
  indications_ = std::make_unique<Indications>(*ctx_, *dialogue_, *receiving_);
  storeAlarm_ = std::make_unique<StoreAlarm>(*ctx_, *dialogue_);
  Wire();
}

Gateway::~Gateway() {
  // The port goes first: its worker must not hand anything to a dialogue
  // that is being destroyed.
  comport_.reset();
  spoolTurn_.reset();
}

void Gateway::Start(const StartupOptions& options) {
  if (options.journalMirror) journal_->SetMirror(options.journalMirror);
  if (options.headless && options.journalMirror) journal_->KeepInMemo(false);
  Controls& ui = ui_;
  // 1. The version as the first line of the About text.
  ui.l_about->setText(QStringLiteral("v") + QString::fromStdString(FileVersionText(options.executablePath)) +
                      QStringLiteral("\n") + ui.l_about->text());
  // 2. Minimising hides the window (the window's changeEvent); the tray
  // brings it back.
  // 3. The Test page stays hidden; Main is shown.
  ui.pg1->setTabVisible(ui.pg1->indexOf(ui.ts3_test), false);
  ui.pg1->setCurrentIndex(0);
  // 4.
  dialogue_->AbortFlag = false;
  ui.b_abort->setEnabled(false);
  // 5.
  ui.cb_dtr->setChecked(comport_->DTRState());
  ui.cb_rts->setChecked(comport_->RTSState());
  // 6.
  ui.cb_comport->setCurrentIndex(0);
  ui.cb_speed->setCurrentIndex(1);
  // 7.
  ui.led_connect->SetColor(comport_->Active() ? LampColor::Lime : LampColor::Red);
  // 8. to 14.
  LoadConfiguration(options);
  if (configFailed_) return;  // headless: the program ends with status 78
  if (!state_.Spool.empty()) WireSpool();
  // 15.
  if (ui.cb_autoconnect->isChecked()) {
    journal_->WriteLog("AutoConnecting...");
    clock_.PendingCommand = kConnect;
  }
  // 16.
  timer_->start();
  clock_.SecondsCounter = 0;
  // 17.
  EnableReadSettings(ui, state_, !ui.cb_autoread->isChecked());
  EnableWatchSettings(ui, state_, !ui.cb_autosend->isChecked());
  // The Send page shows the stored validity period from the start.
  serviceCentre_->ReadValidityPeriod();
}

namespace {

// The configuration file: the argument, or pdulink.ini; a bare name lives
// in the working directory.
std::string ConfigPathOf(const StartupOptions& options) {
  std::string name = options.configArg.value_or("pdulink.ini");
  if (name.find('/') == std::string::npos) name = QDir::currentPath().toLocal8Bit().toStdString() + "/" + name;
  return name;
}

// Loads the file into ini; false, with its message shown, when it is not
// there or cannot be read.
bool LoadIniFile(const std::string& path, IniFile& ini) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    // 9.
    ShowMessage("INI file not exist:" + LocalToAnsi(path));
    return false;
  }
  if (S_ISDIR(st.st_mode) || !ini.Load(path)) {
    // A file that is there but cannot be read would otherwise run the
    // gateway on defaults without a word.
    ShowMessage("INI file not readable:" + LocalToAnsi(path));
    return false;
  }
  return true;
}

// A service must not idle on a configuration it cannot use: the first
// problem goes to standard error and start-up ends (status 78). True when
// there is none.
bool ConfigUsable(const IniFile& ini, const std::string& path) {
  const std::vector<std::string> problems = ConfigProblems(ini);
  if (problems.empty()) return true;
  std::fprintf(stderr, "pdulink: %s: %s\n", path.c_str(), pdulink::AnsiToUtf8(problems[0]).c_str());
  std::fflush(stderr);
  return false;
}

// The journal lines of the keys whose values are not used.
void JournalIgnoredKeys(Journal& journal, const StartupSettings& s) {
  if (s.comPortOutOfRange) journal.WriteLog("Error ComPort Number in INIFile");
  if (s.pinIgnored) journal.WriteLog("Error Pin in INIFile (4 to 8 digits): ignored");
  if (s.signalIntIgnored) journal.WriteLog("Error SignalInt in INIFile (seconds): no signal check");
  if (s.maxPartsIgnored) journal.WriteLog("Error MaxParts in INIFile (1 to 255): 6 used");
  if (s.joinTimeoutIgnored) journal.WriteLog("Error JoinTimeout in INIFile (hours): 24 used");
  if (!s.shiftTablesBad.empty())
    journal.WriteLog("Error ShiftTables in INIFile (unknown language " + s.shiftTablesBad + "): none used");
  if (s.replyTimeoutIgnored) journal.WriteLog("Error ReplyTimeout in INIFile (seconds): 180 used");
  if (s.storeAlarmIgnored) journal.WriteLog("Error StoreAlarm in INIFile (percent, 0 to 100): off");
}

}  // namespace

void Gateway::LoadConfiguration(const StartupOptions& options) {
  Controls& ui = ui_;
  // 8.
  state_.ConfigPath = ConfigPathOf(options);
  ui.l_iniFile->setText(QString::fromLocal8Bit(state_.ConfigPath.c_str()));
  IniFile ini;
  if (!LoadIniFile(state_.ConfigPath, ini)) {
    configFailed_ = options.headless;
    return;
  }
  if (options.headless && !ConfigUsable(ini, state_.ConfigPath)) {
    configFailed_ = true;
    return;
  }
  StartupSettings s = ReadStartupSettings(ini);
  std::map<std::string, std::string> ports;
  for (auto& [key, value] : ini.ReadSection(kPortsSection)) ports[key] = value;
  comport_->SetPortMap(ports);
  // Before the settings are shown: FastMode's framing depends on it.
  state_.Indications = ReadIndicationsKey(ini);
  // 10. to 14.
  ShowSettings(ui, state_, s);
  state_.MatchReports = ReadMatchReports(ini);
  JournalIgnoredKeys(*journal_, s);
  dialogue_->CommandTimeout = s.replyTimeout;
  state_.StoreAlarm = s.storeAlarm;
  StartHooks(ini);
  // 11.
  comport_->SetDTRState(ui.cb_dtr->isChecked());
  comport_->SetRTSState(ui.cb_rts->isChecked());
  if (s.lockedMode) {
    state_.LockedMode = true;
    LockControls(window_);
  }
}

void Gateway::SaveSettings() { SaveSettingsFile(ui_, state_); }

std::string PortReportLine(const std::string& commPort, const std::string& device, uint32_t place, uint32_t code,
                           const std::string& msg) {
  // The device tried is named beside the port, so that a COMn that maps to
  // the wrong device shows at once. Paths and the system's error texts are
  // in the locale's encoding; the journal is Windows-1251.
  std::string line = "Port " + commPort;
  if (!device.empty() && device != commPort) line += " (" + LocalToAnsi(device) + ")";
  line += ": " + msg + " (" + std::to_string(place);
  if (code != 0) line += ", " + LocalToAnsi(std::generic_category().message(static_cast<int>(code)));
  if (place == 112 && code == EWOULDBLOCK) line += ": another program holds the port";
  return line + ")";
}

int Gateway::CountedSend(const std::string& number, const std::string& body, const SendHooks& hooks) {
  SendHooks withReports = hooks;
  // A message sent by hand is recorded without a file.
  if (!withReports.Reference)
    withReports.Reference = [this, number](int seq, int total, int reference) {
      reports_->Sent("", number, seq, total, reference);
    };
  int rc = sending_->SendSMS(number, body, withReports);
  GatewayCounters& counters = ctx_->state.Counters;
  if (rc >= 0) ++counters.sent;
  else ++counters.errors;
  return rc;
}

void Gateway::ApplyFastMode(bool on) {
  ctx_->state.FastMode = on;
  comport_->SetReplyFraming(on ? (state_.Indications ? &EndsWithReplyEndOrIndication : &EndsWithReplyEnd) : nullptr);
  dialogue_->SetFastWaits(on);
  sending_->ForgetModes();
}
