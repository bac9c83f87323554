#include "MainWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <sys/stat.h>

#include <system_error>

#include "AnsiText.h"
#include "Connection.h"
#include "Lamp.h"
#include "MessageBox.h"
#include "PollingCycle.h"
#include "PortNames.h"
#include "QtUiDispatcher.h"
#include "SerialPort.h"
#include "Settings.h"
#include "Transaction.h"
#include "WindowLayout.h"
#include "gsm_alphabet.h"

std::string FileVersionText(const std::string& /*path*/) {
  // The version is compiled into the program from the build's project version.
  return PDULINK_VERSION_TEXT;
}

bool RemoveCloseCommand(const std::string& windowTitle) {
  const QString title = QString::fromStdString(windowTitle);
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->windowTitle() != title || !w->isWindow()) continue;
    bool visible = w->isVisible();
    w->setWindowFlag(Qt::CustomizeWindowHint, true);
    w->setWindowFlag(Qt::WindowCloseButtonHint, false);
    if (visible) w->show();  // new flags take effect on a shown window
    return true;
  }
  return false;
}

TForm1::TForm1(const StartupOptions& options, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("pdulink - SMS gateway"));
  setToolTip(QStringLiteral("pdulink"));
  BuildControls(this, ui);

  timer1 = new QTimer(this);
  timer1->setObjectName(QStringLiteral("timer1"));
  timer1->setInterval(1000);

  journal_ = std::make_unique<Journal>(ui.Memo2);
  if (options.journalMirror) journal_->SetMirror(options.journalMirror);
  tray_ = std::make_unique<TrayState>(this);
  setWindowIcon(TrayState::StateImage(2));
  dispatcher_ = std::make_unique<QtUiDispatcher>(this);
  comport_ = std::make_unique<TSerialPort>(*dispatcher_, this);
  // The window's stored settings for the port, in this order: the char
  // delays computed by the baud-rate setter are then overwritten by 43.
  comport_->SetCommPort("COM1");
  comport_->SetBaudRate(19200);
  comport_->SetRTOCharDelayTime(43);
  comport_->SetWTOCharDelayTime(43);
  comport_->SetErrorNoise(255);

  dialogue_ = std::make_unique<Transaction>(ui, *journal_, *tray_, *comport_, clock);
  connection_ = std::make_unique<Connection>(ui, *journal_, *tray_, *comport_, clock, *dialogue_);
  cycle_ = std::make_unique<PollingCycle>(ui, state, *journal_, *tray_, *comport_, clock, *dialogue_,
                                          *connection_);
  cycle_->StopTimer = [this] { timer1->stop(); };
  cycle_->CloseWindow = [this] {
    closing_ = true;
    close();
    QCoreApplication::quit();
  };

  // The Test page stays hidden for everyday use; people who debug a modem
  // open it with Ctrl+Shift+T.
  auto* showTest = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T), this);
  connect(showTest, &QShortcut::activated, this, &TForm1::ShowTestPage);

  WireHandlers();
  FormCreate(options);
}

TForm1::~TForm1() {
  // The port goes first: its worker must not hand anything to a dialogue
  // that is being destroyed.
  comport_.reset();
}

void TForm1::WireHandlers() {
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
    std::string line = "Port " + comport_->CommPort() + ": " + msg + " (" + std::to_string(place);
    if (code != 0) line += ", " + std::generic_category().message(static_cast<int>(code));
    WriteLog(line + ")");
  };

  // Qt never delivers a timer's timeout again while its handler still runs,
  // but a tick must be able to arrive inside a command wait of the previous
  // one (that is how waits time out). So the timeout only posts the tick,
  // and the tick runs as a posted call, which nested event processing does
  // deliver.
  connect(timer1, &QTimer::timeout, this, [this] {
    QMetaObject::invokeMethod(this, [this] { cycle_->timer1Timer(); }, Qt::QueuedConnection);
  });
  connect(ui.sb_connect, &QToolButton::clicked, this, [this] { connection_->sb_connectClick(); });
  connect(ui.b_abort, &QPushButton::clicked, this, [this] { dialogue_->b_abortClick(); });
  connect(ui.B_disconnect, &QPushButton::clicked, this, [this] { connection_->b_closeClick(); });
  connect(ui.b_exit, &QPushButton::clicked, this, &TForm1::b_exitClick);
  connect(ui.cb_smstype, &QComboBox::activated, this, [this] { cb_smstypeChange(); });
  connect(ui.Button4, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(ui.b_log2clip, &QPushButton::clicked, this, &TForm1::b_log2clipClick);
  connect(ui.Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(ui.b_send, &QPushButton::clicked, this, [this] { dialogue_->b_sendClick(); });
  connect(ui.b_save_iniFile, &QPushButton::clicked, this, &TForm1::b_save_iniFileClick);
  connect(ui.Ed_smsbody, &QLineEdit::textChanged, this, &TForm1::Ed_smsbodyChange);
  connect(ui.b_stop_sendcycle, &QPushButton::clicked, this, &TForm1::b_stop_sendcycleClick);
  // Check boxes react to every change of state, also one made by start-up.
  connect(ui.cb_dtr, &QCheckBox::toggled, this, [this](bool on) { comport_->SetDTRState(on); });
  connect(ui.cb_rts, &QCheckBox::toggled, this, [this](bool on) { comport_->SetRTSState(on); });
  connect(ui.cb_autoread, &QCheckBox::toggled, this, [this] { cycle_->cb_autoreadClick(); });
  connect(ui.cb_autosend, &QCheckBox::toggled, this, [this] { cycle_->cb_autosendClick(); });
  connect(tray_->Icon(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) rxTrayIClick();
  });
}

void TForm1::FormCreate(const StartupOptions& options) {
  // 1. The version as the first line of the About text.
  ui.l_about->setText(QStringLiteral("v") + QString::fromStdString(FileVersionText(options.executablePath)) +
                      QStringLiteral("\n") + ui.l_about->text());
  // 2. Minimising hides the window (changeEvent); the tray brings it back.
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
  // 8. The configuration file: the argument, or pdulink.ini; a bare name
  // lives in the working directory.
  std::string name = options.configArg.value_or("pdulink.ini");
  if (name.find('/') == std::string::npos) name = QDir::currentPath().toStdString() + "/" + name;
  state.ConfigPath = name;
  ui.l_iniFile->setText(QString::fromLocal8Bit(name.c_str()));

  struct stat st {};
  if (::stat(state.ConfigPath.c_str(), &st) != 0) {
    // 9.
    ShowMessage("INI file not exist:" + state.ConfigPath);
  } else {
    IniFile ini;
    ini.Load(state.ConfigPath);
    StartupSettings s = ReadStartupSettings(ini);
    std::map<std::string, std::string> ports;
    for (auto& [key, value] : ini.ReadSection(kPortsSection)) ports[key] = value;
    comport_->SetPortMap(ports);
    // 10.
    ui.cb_comport->setCurrentIndex(s.comPortIndex);
    if (s.comPortOutOfRange) WriteLog("Error ComPort Number in INIFile");
    ui.cb_speed->setCurrentIndex(s.speedIndex);
    ui.cb_autoconnect->setChecked(s.autoConnect);
    ui.cb_autoread->setChecked(s.autoRead);
    ui.cb_autosend->setChecked(s.autoSend);
    ui.cb_dos->setChecked(s.dosCodepage);
    ui.cb_rts->setChecked(s.rts);
    ui.cb_dtr->setChecked(s.dtr);
    // 11.
    comport_->SetDTRState(ui.cb_dtr->isChecked());
    comport_->SetRTSState(ui.cb_rts->isChecked());
    // 12. (the ties to auto-connect of step 13 are already in the settings)
    ui.cb_offline->setChecked(s.offLine);
    ui.cb_sendoptions->setChecked(s.sendOptions);
    if (!s.batteryCheck) ui.cb_bat->setChecked(false);
    if (s.soundSilent) ui.cb_sound_silent->setChecked(true);
    if (s.appendFile) ui.cb_appendfile->setChecked(true);
    if (s.inCalls) ui.cb_calls->setChecked(true);
    if (s.saveCalls) ui.cb_call_save->setChecked(true);
    // 13. (the list type is enabled once, after the ties)
    ui.cb_smstype->setEnabled(!ui.cb_autoread->isChecked());
    // 14.
    state.PollingInterval = s.pollingInterval;
    ui.ed_polint->setText(QString::number(s.pollingInterval));
    state.WatchInterval = s.watchInterval;
    ui.Ed_watchInt->setText(QString::number(s.watchInterval));
    if (s.logDir) ui.ed_LogDir->setText(FromAnsi(*s.logDir));
    if (s.watchDir) ui.Ed_watchDir->setText(FromAnsi(*s.watchDir));
    if (s.lockedMode) {
      state.LockedMode = true;
      LockControls(this);
    }
  }
  // 15.
  if (ui.cb_autoconnect->isChecked()) {
    WriteLog("AutoConnecting...");
    clock.PendingCommand = kConnect;
  }
  // 16.
  timer1->start();
  clock.SecondsCounter = 0;
  // 17.
  EnableReadSettings(ui, state, !ui.cb_autoread->isChecked());
  EnableWatchSettings(ui, state, !ui.cb_autosend->isChecked());
}

void TForm1::b_save_iniFileClick() {
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

  // An existing file that cannot be read must not be replaced by the keys
  // alone: its other lines would be lost.
  IniFile ini;
  struct stat st {};
  bool exists = ::stat(state.ConfigPath.c_str(), &st) == 0;
  bool ok = !exists || ini.Load(state.ConfigPath);
  if (ok) {
    WriteSettings(ini, s);
    ok = ini.SaveTo(state.ConfigPath);
  }
  ShowMessage(ok ? "\xCE\xCA Saved INI File:" + state.ConfigPath : "ERROR Save INI File:" + state.ConfigPath);
}

void TForm1::ShowTestPage() {
  ui.pg1->setTabVisible(ui.pg1->indexOf(ui.ts3_test), true);
  ui.pg1->setCurrentWidget(ui.ts3_test);
}

void TForm1::Button1Click() { ui.Memo2->clear(); }

void TForm1::b_log2clipClick() {
  ui.Memo2->selectAll();
  QApplication::clipboard()->setText(ui.Memo2->toPlainText());
}

void TForm1::Button3Click() { ui.Memo1->clear(); }

void TForm1::b_exitClick() {
  dialogue_->AbortFlag = true;
  ui.sb_connect->setChecked(false);
  ui.cb_offline->setChecked(false);
  clock.PendingCommand = kExit;
}

void TForm1::rxTrayIClick() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::cb_smstypeChange() { ui.cb_deletesms->setChecked(false); }

void TForm1::Ed_smsbodyChange() {
  QString text = ui.Ed_smsbody->text();
  int limit = pdulink::NeedsUcs2(ToAnsi(text)) ? 70 : 160;
  if (text.size() > limit) {
    ui.Ed_smsbody->setText(text.left(limit));  // runs this handler once more
    return;
  }
  ui.L_lenManualsms->setText(QString::number(text.size()));
}

void TForm1::b_stop_sendcycleClick() { state.SendCycleStop = true; }

void TForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // A minimised window leaves the task bar; the tray icon brings it back.
  // Without a tray there would be no way back, so it then stays minimised.
  if (event->type() == QEvent::WindowStateChange && isMinimized() &&
      QSystemTrayIcon::isSystemTrayAvailable())
    QTimer::singleShot(0, this, &QWidget::hide);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    // Only Exit closes the window.
    event->ignore();
    return;
  }
  dialogue_->AbortFlag = true;
  event->accept();
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->Icon()->show();
  QTimer::singleShot(0, this, [this] { RemoveCloseCommand(windowTitle().toStdString()); });
}
