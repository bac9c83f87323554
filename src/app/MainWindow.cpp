#include "MainWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include "AnsiText.h"
#include "Receiving.h"
#include "Gateway.h"
#include "Journal.h"
#include "LongMessages.h"
#include "Transaction.h"
#include "WindowLayout.h"
#include "Wiring.h"
#include "gsm_alphabet.h"
#include "sms_concat.h"
#include "utf8_text.h"

TForm1::TForm1(const StartupOptions& options, QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("pdulink - SMS gateway"));
  setToolTip(QStringLiteral("pdulink"));
  gateway_ = std::make_unique<Gateway>(this);
  setWindowIcon(TrayState::StateImage(2));
  WireWindow(*this);
  gateway().Start(options);
}

TForm1::~TForm1() = default;

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

void TForm1::CloseAtExit() {
  closing_ = true;
  close();
  QCoreApplication::quit();
}

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
  if (state().LongMessages.longSms) {
    LongSmsBodyChange();
    return;
  }
  QString text = ui().Ed_smsbody->text();
  const bool ucs2 = !state().Utf8Files ? pdulink::NeedsUcs2(ToAnsi(text))
                    : state().ShiftTables.empty()
                        ? pdulink::ChooseCoding(text.toStdString()).ucs2
                        : pdulink::CountParts(text.toStdString(), false, true, state().ShiftTables).ucs2;
  int limit = ucs2 ? 70 : 160;
  if (text.size() > limit) {
    ui().Ed_smsbody->setText(text.left(limit));  // runs this handler once more
    return;
  }
  ui().L_lenManualsms->setText(QString::number(text.size()));
}

void TForm1::LongSmsBodyChange() {
  // Up to MaxParts parts instead of one message; the label counts them.
  const QString text = ui().Ed_smsbody->text();
  const qsizetype fit = LongBodyFit(text, state().LongMessages, state().Utf8Files, state().ShiftTables);
  if (fit < text.size()) {
    ui().Ed_smsbody->setText(text.left(fit));  // runs this handler once more
    return;
  }
  ui().L_lenManualsms->setText(LongBodyCount(text, state().LongMessages, state().Utf8Files, state().ShiftTables));
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
