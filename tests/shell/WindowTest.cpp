// The journal and the window's own handlers, on real widgets.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QSystemTrayIcon>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Lamp.h"
#include "MainWindow.h"
#include "MessageBox.h"
#include "Transaction.h"
#include "WindowLayout.h"

#include "Pty.h"
#include "SerialPort.h"
#include "TempDir.h"
#include "TrayState.h"

namespace {

using pdulink::test::Slurp;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHandler([this](const std::string& text) { messages_.push_back(text); });
  }
  void TearDown() override {
    form_.reset();
    SetMessageHandler(nullptr);
  }
  std::string Config(const std::string& text) {
    std::string path = dir_ + "/pdulink.ini";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  TForm1& Start(const std::string& configPath) {
    StartupOptions options;
    options.configArg = configPath;
    form_ = std::make_unique<TForm1>(options);
    return *form_;
  }
  std::vector<std::string> JournalMessages() const {
    std::vector<std::string> out;
    const QString text = form_->ui().Memo2->toPlainText();
    for (const QString& line : text.split(QLatin1Char('\n'))) out.push_back(line.mid(20).toStdString());
    return out;
  }

  pdulink::test::TempDir tmp_{"pdulink-win"};
  const std::string dir_ = tmp_.Path();
  std::vector<std::string> messages_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(WindowTest, JournalKeepsTheNewestThousandLines) {
  TForm1& f = Start(Config("[Main]\r\n"));
  for (int i = 1; i <= 1005; ++i) f.WriteLog("line " + std::to_string(i));
  EXPECT_EQ(f.ui().Memo2->blockCount(), 1000);
  EXPECT_EQ(f.ui().Memo2->document()->firstBlock().text().mid(20), QStringLiteral("line 6"));
  EXPECT_EQ(f.ui().Memo2->document()->lastBlock().text().mid(20), QStringLiteral("line 1005"));
  f.WriteLog("two\r\nlines");
  EXPECT_EQ(f.ui().Memo2->document()->lastBlock().text(), QStringLiteral("lines"));
  f.WriteLog("\xCF\xF0\xE8\xE2\xE5\xF2");  // cp1251
  EXPECT_EQ(f.ui().Memo2->document()->lastBlock().text().mid(20), QString::fromUtf8("Привет"));
  f.Button1Click();
  EXPECT_TRUE(f.ui().Memo2->toPlainText().isEmpty());
}

TEST_F(WindowTest, MessageBodyIsCutToOneMessage) {
  TForm1& f = Start(Config("[Main]\r\n"));
  f.ui().Ed_smsbody->setText(QString(200, QLatin1Char('a')));
  EXPECT_EQ(f.ui().Ed_smsbody->text().size(), 160);
  EXPECT_EQ(f.ui().L_lenManualsms->text(), QStringLiteral("160"));
  f.ui().Ed_smsbody->setText(QString(99, QLatin1Char('a')) + QString::fromUtf8("ж"));
  EXPECT_EQ(f.ui().Ed_smsbody->text().size(), 70);
  EXPECT_EQ(f.ui().L_lenManualsms->text(), QStringLiteral("70"));
}

TEST_F(WindowTest, SmallHandlers) {
  TForm1& f = Start(Config("[Main]\r\n"));
  // The operator choosing another list type (the item changes, then the
  // pick reports itself) unchecks Delete.
  f.ui().cb_deletesms->setChecked(true);
  f.ui().cb_smstype->setCurrentIndex(3);
  emit f.ui().cb_smstype->activated(3);
  EXPECT_FALSE(f.ui().cb_deletesms->isChecked());
  // Choosing the item already shown leaves it alone.
  f.ui().cb_deletesms->setChecked(true);
  emit f.ui().cb_smstype->activated(3);
  EXPECT_TRUE(f.ui().cb_deletesms->isChecked());
  // So does the program showing another type; a later pick of the item
  // it shows is no change either.
  f.ui().cb_smstype->setCurrentIndex(1);
  EXPECT_TRUE(f.ui().cb_deletesms->isChecked());
  QCoreApplication::processEvents();
  emit f.ui().cb_smstype->activated(1);
  EXPECT_TRUE(f.ui().cb_deletesms->isChecked());
  // Latching buttons of one group release each other.
  f.ui().sb_connect->click();
  EXPECT_TRUE(f.ui().sb_connect->isChecked());
  EXPECT_EQ(f.clock().PendingCommand, 1);
  f.ui().sb_listSMS->click();
  EXPECT_TRUE(f.ui().sb_listSMS->isChecked());
  EXPECT_FALSE(f.ui().sb_connect->isChecked());
  f.ui().sb_listSMS->click();
  EXPECT_FALSE(f.ui().sb_listSMS->isChecked());
  f.ui().sb_sendSMS->click();
  f.ui().sb_saveSmsc->click();
  EXPECT_FALSE(f.ui().sb_sendSMS->isChecked());
  // Exit sets the abort flag, releases Connect, leaves off-line mode, posts 4.
  f.ui().cb_offline->setChecked(true);
  f.ui().sb_connect->click();
  f.b_exitClick();
  EXPECT_TRUE(f.dialogue().AbortFlag);
  EXPECT_FALSE(f.ui().sb_connect->isChecked());
  EXPECT_FALSE(f.ui().cb_offline->isChecked());
  EXPECT_EQ(f.clock().PendingCommand, 4);
  // The test page's Clear.
  f.ui().Memo1->setPlainText(QStringLiteral("0791"));
  f.ui().Button3->click();
  EXPECT_TRUE(f.ui().Memo1->toPlainText().isEmpty());
}

TEST_F(WindowTest, TestPageOpensOnlyOnRequest) {
  TForm1& f = Start(Config("[Main]\r\n"));
  int test = f.ui().pg1->indexOf(f.ui().ts3_test);
  EXPECT_FALSE(f.ui().pg1->isTabVisible(test));
  f.ShowTestPage();
  EXPECT_TRUE(f.ui().pg1->isTabVisible(test));
  EXPECT_EQ(f.ui().pg1->currentIndex(), test);
}

TEST_F(WindowTest, CloseBoxDoesNotCloseTheWindow) {
  TForm1& f = Start(Config("[Main]\r\n"));
  f.show();
  EXPECT_FALSE(f.close());
  EXPECT_TRUE(f.isVisible());
  EXPECT_TRUE(RemoveCloseCommand(f.windowTitle().toStdString()));
  EXPECT_FALSE(f.windowFlags().testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(RemoveCloseCommand("no such window"));
}

TEST_F(WindowTest, TrayShowsFourDistinctStates) {
  TForm1& f = Start(Config("[Main]\r\n"));
  std::vector<QImage> images;
  for (unsigned i = 1; i <= 4; ++i) images.push_back(TrayState::StateImage(i).pixmap(32, 32).toImage());
  for (size_t a = 0; a < images.size(); ++a)
    for (size_t b = a + 1; b < images.size(); ++b) EXPECT_NE(images[a], images[b]) << a + 1 << " vs " << b + 1;
  f.SetTrayState(3, "Connecting...");
  EXPECT_EQ(f.tray().Index(), 3u);
  EXPECT_EQ(f.tray().Hint(), QStringLiteral("Connecting..."));
  f.SetTrayState(4, "\xC0\xEA\xEA\xF3\xEC\xF3\xEB\xFF\xF2\xEE\xF0 \xF0\xE0\xE7\xF0\xFF\xE6\xE5\xED");
  EXPECT_EQ(f.tray().Hint(), QString::fromUtf8("Аккумулятор разряжен"));
}

TEST_F(WindowTest, CopyTrayClickAndStop) {
  TForm1& f = Start(Config("[Main]\r\n"));
  // Copy puts the whole journal on the clipboard.
  f.WriteLog("first line");
  f.WriteLog("\xCF\xF0\xE8\xE2\xE5\xF2");  // "Привет" in cp1251
  QApplication::clipboard()->clear();
  f.ui().b_log2clip->click();
  EXPECT_EQ(QApplication::clipboard()->text(), f.ui().Memo2->toPlainText());
  EXPECT_TRUE(QApplication::clipboard()->text().contains(QString::fromUtf8("Привет")));
  // A click on the tray icon shows a hidden window again.
  f.show();
  f.hide();
  ASSERT_FALSE(f.isVisible());
  emit f.tray().Icon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(f.isVisible());
  f.hide();
  emit f.tray().Icon()->activated(QSystemTrayIcon::Context);  // the menu click does not
  EXPECT_FALSE(f.isVisible());
  // Stop ends a repeated send at its next copy.
  EXPECT_FALSE(f.state().SendCycleStop);
  f.ui().b_stop_sendcycle->click();
  EXPECT_TRUE(f.state().SendCycleStop);
}

TEST_F(WindowTest, DtrAndRtsBoxesDriveTheOpenPort) {
  Pty pty;
  ASSERT_TRUE(pty.ok()) << pty.error();
  TForm1& f = Start(Config("[Main]\r\n[Ports]\r\nCOM1=" + pty.path() + "\r\n"));
  f.comport().SetActive(true);
  ASSERT_TRUE(f.comport().Active());
  // A pseudo-terminal refuses the modem-line requests; the component keeps
  // the state that was asked for, and the port stays open.
  // Both on, then DTR off, then RTS off.
  for (const auto& [dtr, rts] : {std::pair{true, true}, {false, true}, {false, false}}) {
    f.ui().cb_dtr->setChecked(dtr);
    f.ui().cb_rts->setChecked(rts);
    EXPECT_EQ(f.comport().DTRState(), dtr) << dtr << rts;
    EXPECT_EQ(f.comport().RTSState(), rts) << dtr << rts;
  }
  EXPECT_TRUE(f.comport().Active());
  f.comport().SetActive(false);
}

TEST_F(WindowTest, NewFieldsFitTheWindowWithoutOverlapping) {
  TForm1& f = Start(Config("[Main]\r\n"));
  f.show();
  for (QWidget* page : {f.ui().ts1_main, f.ui().ts2_setup}) {
    f.ui().pg1->setCurrentWidget(page);
    QCoreApplication::processEvents();
    EXPECT_LE(f.width(), 696);
    EXPECT_LE(f.height(), 480);
    std::vector<QWidget*> children;
    for (QWidget* w : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      if (w->isVisible()) children.push_back(w);
    for (QWidget* w : children) {
      EXPECT_TRUE(page->rect().contains(w->geometry())) << w->objectName().toStdString();
      for (QWidget* other : children) {
        if (other == w) continue;
        EXPECT_FALSE(w->geometry().intersects(other->geometry()))
              << w->objectName().toStdString() << " overlaps " << other->objectName().toStdString();
      }
    }
  }
  EXPECT_FALSE(f.ui().l_signal->geometry().intersects(f.ui().led_connect->geometry()));
  EXPECT_FALSE(f.ui().l_signal->geometry().intersects(f.ui().Memo2->geometry()));
  EXPECT_GE(f.ui().Memo2->height(), 313);
}

TEST_F(WindowTest, FastModeBoxFollowsTheKeyAndDrivesPortAndWaits) {
  TForm1& plain = Start(Config("[Main]\r\nComPort=1\r\n"));
  EXPECT_FALSE(plain.ui().cb_fastmode->isChecked());
  EXPECT_FALSE(plain.state().FastMode);
  EXPECT_FALSE(plain.comport().ReplyAwareFraming());
  EXPECT_FALSE(plain.dialogue().FastWaits());

  TForm1& f = Start(Config("[Main]\r\nFastMode=1\r\n"));
  EXPECT_TRUE(f.ui().cb_fastmode->isChecked());
  EXPECT_TRUE(f.state().FastMode);
  EXPECT_TRUE(f.comport().ReplyAwareFraming());
  EXPECT_TRUE(f.dialogue().FastWaits());
  EXPECT_FALSE(f.ui().cb_fastmode->toolTip().isEmpty());
  f.ui().cb_fastmode->setChecked(false);
  EXPECT_FALSE(f.state().FastMode);
  EXPECT_FALSE(f.comport().ReplyAwareFraming());
  EXPECT_FALSE(f.dialogue().FastWaits());

  // On the Setup page (which NewFieldsFitTheWindowWithoutOverlapping checks
  // for overlaps), with nothing there squeezed.
  f.resize(696, 480);
  f.ui().pg1->setCurrentWidget(f.ui().ts2_setup);
  f.show();
  QCoreApplication::processEvents();
  ASSERT_EQ(f.ui().cb_fastmode->parentWidget(), f.ui().ts2_setup);
  EXPECT_LE(f.ui().ts2_setup->layout()->minimumSize().height(), f.ui().ts2_setup->height());
}

}  // namespace
