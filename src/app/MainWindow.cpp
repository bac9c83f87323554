#include "MainWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCheckBox>
#include <QComboBox>
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

TForm1::TForm1(const StartupOptions& options, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("pdulink - SMS gateway"));
  setToolTip(QStringLiteral("pdulink"));
  gateway_ = std::make_unique<Gateway>(this);
  setWindowIcon(TrayState::StateImage(2));
  cycle().StopTimer = [this] { timer1()->stop(); };
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
  gateway().Start(options);
}

TForm1::~TForm1() = default;

void TForm1::WireHandlers() {
  // Qt never delivers a timer's timeout again while its handler still runs,
  // but a tick must be able to arrive inside a command wait of the previous
  // one (that is how waits time out). So the timeout only posts the tick,
  // and the tick runs as a posted call, which nested event processing does
  // deliver.
  connect(timer1(), &QTimer::timeout, this, [this] {
    QMetaObject::invokeMethod(this, [this] { cycle().timer1Timer(); }, Qt::QueuedConnection);
  });
  connect(ui().sb_connect, &QToolButton::clicked, this, [this] { connection().sb_connectClick(); });
  connect(ui().b_abort, &QPushButton::clicked, this, [this] { dialogue().b_abortClick(); });
  connect(ui().B_disconnect, &QPushButton::clicked, this, [this] { connection().b_closeClick(); });
  connect(ui().b_exit, &QPushButton::clicked, this, &TForm1::b_exitClick);
  // Choosing another item unchecks Delete; choosing the item already shown
  // does not. (The duty pass also changes the item, and checks Delete after.)
  connect(ui().cb_smstype, &QComboBox::currentIndexChanged, this, [this] { cb_smstypeChange(); });
  connect(ui().Button4, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(ui().b_log2clip, &QPushButton::clicked, this, &TForm1::b_log2clipClick);
  connect(ui().Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(ui().Button1, &QPushButton::clicked, this, &TForm1::b_parseClick);
  connect(ui().b_send, &QPushButton::clicked, this, [this] { dialogue().b_sendClick(); });
  connect(ui().b_save_iniFile, &QPushButton::clicked, this, &TForm1::b_save_iniFileClick);
  connect(ui().Ed_smsbody, &QLineEdit::textChanged, this, &TForm1::Ed_smsbodyChange);
  connect(ui().b_stop_sendcycle, &QPushButton::clicked, this, &TForm1::b_stop_sendcycleClick);
  connect(ui().se_vp_rByte, &QSpinBox::valueChanged, this, [this] { gateway().serviceCentre().se_vp_rByteChange(); });
  connect(ui().b_save_send, &QPushButton::clicked, this, [this] { gateway().serviceCentre().b_save_sendClick(); });
  // Check boxes react to every change of state, also one made by start-up.
  connect(ui().cb_dtr, &QCheckBox::toggled, this, [this](bool on) { comport().SetDTRState(on); });
  connect(ui().cb_rts, &QCheckBox::toggled, this, [this](bool on) { comport().SetRTSState(on); });
  connect(ui().cb_autoread, &QCheckBox::toggled, this, [this] { cycle().cb_autoreadClick(); });
  connect(ui().cb_autosend, &QCheckBox::toggled, this, [this] { cycle().cb_autosendClick(); });
  connect(ui().ed_signalInt, &QLineEdit::editingFinished, this, [this] { ed_signalIntExit(ui(), state()); });
  connect(tray().Icon(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) rxTrayIClick();
  });
}

void TForm1::b_save_iniFileClick() { gateway().SaveSettings(); }

void TForm1::ShowTestPage() {
  ui().pg1->setTabVisible(ui().pg1->indexOf(ui().ts3_test), true);
  ui().pg1->setCurrentWidget(ui().ts3_test);
}

void TForm1::Button1Click() { ui().Memo2->clear(); }

void TForm1::b_parseClick() { gateway().receiving().b_parseClick(); }

void TForm1::b_log2clipClick() {
  ui().Memo2->selectAll();
  QApplication::clipboard()->setText(ui().Memo2->toPlainText());
}

void TForm1::Button3Click() { ui().Memo1->clear(); }

void TForm1::b_exitClick() {
  dialogue().AbortFlag = true;
  ui().sb_connect->setChecked(false);
  ui().cb_offline->setChecked(false);
  clock().PendingCommand = kExit;
}

void TForm1::rxTrayIClick() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::cb_smstypeChange() { ui().cb_deletesms->setChecked(false); }

void TForm1::Ed_smsbodyChange() {
  QString text = ui().Ed_smsbody->text();
  int limit = pdulink::NeedsUcs2(ToAnsi(text)) ? 70 : 160;
  if (text.size() > limit) {
    ui().Ed_smsbody->setText(text.left(limit));  // runs this handler once more
    return;
  }
  ui().L_lenManualsms->setText(QString::number(text.size()));
}

void TForm1::b_stop_sendcycleClick() { state().SendCycleStop = true; }

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
