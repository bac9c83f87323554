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
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <sys/stat.h>

#include "AnsiText.h"
#include "Connection.h"
#include "Lamp.h"
#include "MessageBox.h"
#include "PollingCycle.h"
#include "PortNames.h"
#include "Receiving.h"
#include "SerialPort.h"
#include "ServiceCentre.h"
#include "Settings.h"
#include "SettingsControls.h"
#include "Gateway.h"
#include "Journal.h"
#include "Transaction.h"
#include "WindowLayout.h"
#include "gsm_alphabet.h"
#include "utf8_text.h"

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

  gateway_ = std::make_unique<Gateway>(this, ui, state, clock);
  if (options.journalMirror) journal().SetMirror(options.journalMirror);
  setWindowIcon(TrayState::StateImage(2));
  cycle().StopTimer = [this] { timer1->stop(); };
  cycle().CloseWindow = [this] {
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
  // The Send page shows the stored validity period from the start.
  gateway().serviceCentre().ReadValidityPeriod();
}

TForm1::~TForm1() = default;

void TForm1::WireHandlers() {
  // Qt never delivers a timer's timeout again while its handler still runs,
  // but a tick must be able to arrive inside a command wait of the previous
  // one (that is how waits time out). So the timeout only posts the tick,
  // and the tick runs as a posted call, which nested event processing does
  // deliver.
  connect(timer1, &QTimer::timeout, this, [this] {
    QMetaObject::invokeMethod(this, [this] { cycle().timer1Timer(); }, Qt::QueuedConnection);
  });
  connect(ui.sb_connect, &QToolButton::clicked, this, [this] { connection().sb_connectClick(); });
  connect(ui.b_abort, &QPushButton::clicked, this, [this] { dialogue().b_abortClick(); });
  connect(ui.B_disconnect, &QPushButton::clicked, this, [this] { connection().b_closeClick(); });
  connect(ui.b_exit, &QPushButton::clicked, this, &TForm1::b_exitClick);
  // The operator choosing another item unchecks Delete; choosing the item
  // already shown does not, and neither does the program showing the type
  // it lists (the listing, the duty pass, /list). A pick changes the item
  // and reports itself as activated in the same call; a change that no pick
  // claims before the next pass of the event loop came from the program.
  connect(ui.cb_smstype, &QComboBox::currentIndexChanged, this, [this] {
    smstypeChanged_ = true;
    QMetaObject::invokeMethod(this, [this] { smstypeChanged_ = false; }, Qt::QueuedConnection);
  });
  connect(ui.cb_smstype, &QComboBox::activated, this, [this] {
    if (smstypeChanged_) cb_smstypeChange();
    smstypeChanged_ = false;
  });
  connect(ui.Button4, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(ui.b_log2clip, &QPushButton::clicked, this, &TForm1::b_log2clipClick);
  connect(ui.Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(ui.Button1, &QPushButton::clicked, this, &TForm1::b_parseClick);
  connect(ui.b_send, &QPushButton::clicked, this, [this] { dialogue().b_sendClick(); });
  connect(ui.b_save_iniFile, &QPushButton::clicked, this, &TForm1::b_save_iniFileClick);
  connect(ui.Ed_smsbody, &QLineEdit::textChanged, this, &TForm1::Ed_smsbodyChange);
  connect(ui.b_stop_sendcycle, &QPushButton::clicked, this, &TForm1::b_stop_sendcycleClick);
  connect(ui.se_vp_rByte, &QSpinBox::valueChanged, this, [this] { gateway().serviceCentre().se_vp_rByteChange(); });
  connect(ui.b_save_send, &QPushButton::clicked, this, [this] { gateway().serviceCentre().b_save_sendClick(); });
  // Check boxes react to every change of state, also one made by start-up.
  connect(ui.cb_dtr, &QCheckBox::toggled, this, [this](bool on) { comport().SetDTRState(on); });
  connect(ui.cb_rts, &QCheckBox::toggled, this, [this](bool on) { comport().SetRTSState(on); });
  connect(ui.cb_autoread, &QCheckBox::toggled, this, [this] { cycle().cb_autoreadClick(); });
  connect(ui.cb_autosend, &QCheckBox::toggled, this, [this] { cycle().cb_autosendClick(); });
  connect(ui.ed_signalInt, &QLineEdit::editingFinished, this, [this] { ed_signalIntExit(ui, state); });
  connect(tray().Icon(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
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
  dialogue().AbortFlag = false;
  ui.b_abort->setEnabled(false);
  // 5.
  ui.cb_dtr->setChecked(comport().DTRState());
  ui.cb_rts->setChecked(comport().RTSState());
  // 6.
  ui.cb_comport->setCurrentIndex(0);
  ui.cb_speed->setCurrentIndex(1);
  // 7.
  ui.led_connect->SetColor(comport().Active() ? LampColor::Lime : LampColor::Red);
  // 8. The configuration file: the argument, or pdulink.ini; a bare name
  // lives in the working directory.
  std::string name = options.configArg.value_or("pdulink.ini");
  if (name.find('/') == std::string::npos) name = QDir::currentPath().toLocal8Bit().toStdString() + "/" + name;
  state.ConfigPath = name;
  ui.l_iniFile->setText(QString::fromLocal8Bit(name.c_str()));

  struct stat st {};
  if (::stat(state.ConfigPath.c_str(), &st) != 0) {
    // 9.
    ShowMessage("INI file not exist:" + LocalToAnsi(state.ConfigPath));
  } else {
    IniFile ini;
    ini.Load(state.ConfigPath);
    StartupSettings s = ReadStartupSettings(ini);
    std::map<std::string, std::string> ports;
    for (auto& [key, value] : ini.ReadSection(kPortsSection)) ports[key] = value;
    comport().SetPortMap(ports);
    // 10. to 14.
    ShowSettings(ui, state, s);
    if (s.comPortOutOfRange) WriteLog("Error ComPort Number in INIFile");
    if (s.pinIgnored) WriteLog("Error Pin in INIFile (4 to 8 digits): ignored");
    if (s.signalIntIgnored) WriteLog("Error SignalInt in INIFile (seconds): no signal check");
    if (s.maxPartsIgnored) WriteLog("Error MaxParts in INIFile (1 to 255): 6 used");
    if (s.joinTimeoutIgnored) WriteLog("Error JoinTimeout in INIFile (hours): 24 used");
    // 11.
    comport().SetDTRState(ui.cb_dtr->isChecked());
    comport().SetRTSState(ui.cb_rts->isChecked());
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
  SavedSettings s = CollectSettings(ui);
  s.longMessages = state.LongMessages;
  s.utf8Files = state.Utf8Files;

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
  const std::string shown = LocalToAnsi(state.ConfigPath);
  if (ok) SettingsSaved(state, s);
  ShowMessage(ok ? "\xCE\xCA Saved INI File:" + shown : "ERROR Save INI File:" + shown);
}

void TForm1::ShowTestPage() {
  ui.pg1->setTabVisible(ui.pg1->indexOf(ui.ts3_test), true);
  ui.pg1->setCurrentWidget(ui.ts3_test);
}

void TForm1::Button1Click() { ui.Memo2->clear(); }

void TForm1::b_parseClick() { gateway().receiving().b_parseClick(); }

void TForm1::b_log2clipClick() {
  ui.Memo2->selectAll();
  QApplication::clipboard()->setText(ui.Memo2->toPlainText());
}

void TForm1::Button3Click() { ui.Memo1->clear(); }

void TForm1::b_exitClick() {
  dialogue().AbortFlag = true;
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
  if (state.LongMessages.longSms) {
    LongSmsBodyChange();
    return;
  }
  QString text = ui.Ed_smsbody->text();
  const bool ucs2 = state.Utf8Files ? pdulink::ChooseCoding(text.toStdString()).ucs2 : pdulink::NeedsUcs2(ToAnsi(text));
  int limit = ucs2 ? 70 : 160;
  if (text.size() > limit) {
    ui.Ed_smsbody->setText(text.left(limit));  // runs this handler once more
    return;
  }
  ui.L_lenManualsms->setText(QString::number(text.size()));
}

void TForm1::LongSmsBodyChange() {
  // Up to MaxParts parts instead of one message; the label counts them.
  const QString text = ui.Ed_smsbody->text();
  const qsizetype fit = LongBodyFit(text, state.LongMessages);
  if (fit < text.size()) {
    ui.Ed_smsbody->setText(text.left(fit));  // runs this handler once more
    return;
  }
  ui.L_lenManualsms->setText(LongBodyCount(text, state.LongMessages));
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
  dialogue().AbortFlag = true;
  event->accept();
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray().Icon()->show();
  QTimer::singleShot(0, this, [this] { RemoveCloseCommand(windowTitle().toStdString()); });
}
