// The start-up sequence and Save, on a gateway in a plain window: the
// controls the configuration file fills, the journal lines for keys out of
// range, locked mode, auto-connect, the timer, and the file Save writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <fstream>
#include <memory>

#include "Gateway.h"
#include "Lamp.h"
#include "MessageBox.h"

#include "TempDir.h"

namespace {

using pdulink::test::Slurp;

class GatewayStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHandler([this](const std::string& text) { messages_.push_back(text); });
  }
  void TearDown() override {
    gateway_.reset();
    window_.reset();
    SetMessageHandler(nullptr);
  }
  std::string Config(const std::string& text) {
    std::string path = dir_ + "/pdulink.ini";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  Gateway& Start(const std::string& configPath) {
    gateway_.reset();
    window_ = std::make_unique<QMainWindow>();
    gateway_ = std::make_unique<Gateway>(window_.get());
    StartupOptions options;
    options.configArg = configPath;
    gateway_->Start(options);
    return *gateway_;
  }
  std::vector<std::string> JournalMessages() const {
    std::vector<std::string> out;
    const QString text = gateway_->ui().Memo2->toPlainText();
    for (const QString& line : text.split(QLatin1Char('\n'))) out.push_back(line.mid(20).toStdString());
    return out;
  }

  pdulink::test::TempDir tmp_{"pdulink-start"};
  const std::string dir_ = tmp_.Path();
  std::vector<std::string> messages_;
  std::unique_ptr<QMainWindow> window_;
  std::unique_ptr<Gateway> gateway_;
};

TEST_F(GatewayStartTest, WithoutConfigShowsTheMessageAndKeepsLayoutDefaults) {
  std::string path = dir_ + "/missing.ini";
  Gateway& f = Start(path);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "INI file not exist:" + path);
  EXPECT_EQ(f.ui().l_iniFile->text().toStdString(), path);
  EXPECT_EQ(f.ui().cb_comport->currentText(), QStringLiteral("COM1"));
  EXPECT_EQ(f.ui().cb_speed->currentText(), QStringLiteral("19200"));
  EXPECT_TRUE(f.ui().cb_dtr->isChecked());  // the port's own line states
  EXPECT_TRUE(f.ui().cb_rts->isChecked());
  EXPECT_TRUE(f.ui().cb_bat->isChecked());
  EXPECT_EQ(f.ui().Ed_watchDir->text(), QStringLiteral("smss*.txt"));
  EXPECT_EQ(f.ui().ed_polint->text(), QStringLiteral("10"));
  EXPECT_EQ(f.ui().se_vp_rByte->value(), 167);
  EXPECT_EQ(f.ui().led_connect->Color(), LampColor::Red);
  EXPECT_FALSE(f.ui().b_abort->isEnabled());
  EXPECT_FALSE(f.ui().pg1->isTabVisible(f.ui().pg1->indexOf(f.ui().ts3_test)));
  EXPECT_EQ(f.ui().pg1->currentIndex(), 0);
  EXPECT_EQ(f.clock().PendingCommand, 0);
  EXPECT_TRUE(f.timer()->isActive());
  EXPECT_TRUE(f.ui().l_about->text().startsWith(QStringLiteral("v" PDULINK_VERSION_TEXT "\n")));
}

TEST_F(GatewayStartTest, BareConfigNameLivesInTheWorkingDirectory) {
  QString old = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(dir_));
  Config("[Main]\r\nComPort=2\r\n");
  Gateway& f = Start("pdulink.ini");
  QDir::setCurrent(old);
  EXPECT_EQ(f.state().ConfigPath, dir_ + "/pdulink.ini");
  EXPECT_EQ(f.ui().cb_comport->currentText(), QStringLiteral("COM2"));
  EXPECT_TRUE(messages_.empty());
}

TEST_F(GatewayStartTest, ConfigDrivesControlsWithCorrectionsAndTies) {
  Gateway& f = Start(Config(
      "[Main]\r\nComPort=11\r\nBaudRate=57600\r\nAutoConnect=1\r\nAutoRead=1\r\nAutoSend=1\r\n"
      "OffLineMode=1\r\nPollingInt=0\r\nWatchInt=5\r\nLogDir=/var/log/sms\r\nBatteryCheck=0\r\n"
      "InCalls=1\r\nDTR=0\r\nRTS=1\r\n"));
  auto journal = JournalMessages();
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[0], "Error ComPort Number in INIFile");
  EXPECT_EQ(journal[1], "AutoConnecting...");
  EXPECT_EQ(f.clock().PendingCommand, 1);
  EXPECT_EQ(f.ui().cb_comport->currentIndex(), 0);
  EXPECT_EQ(f.ui().cb_speed->currentText(), QStringLiteral("57600"));
  EXPECT_TRUE(f.ui().cb_autoread->isChecked());
  EXPECT_TRUE(f.ui().cb_autosend->isChecked());
  EXPECT_TRUE(f.ui().cb_offline->isChecked());
  EXPECT_FALSE(f.ui().cb_smstype->isEnabled());
  EXPECT_FALSE(f.ui().ed_polint->isEnabled());  // auto read locks its settings
  EXPECT_FALSE(f.ui().Ed_watchDir->isEnabled());
  EXPECT_EQ(f.state().PollingInterval, 10);
  EXPECT_EQ(f.ui().ed_polint->text(), QStringLiteral("10"));
  EXPECT_EQ(f.state().WatchInterval, 5);
  EXPECT_EQ(f.ui().ed_LogDir->text(), QStringLiteral("/var/log/sms"));
  EXPECT_FALSE(f.ui().cb_bat->isChecked());
  EXPECT_TRUE(f.ui().cb_calls->isChecked());
  EXPECT_FALSE(f.ui().cb_dtr->isChecked());
  EXPECT_TRUE(f.ui().cb_rts->isChecked());
}

TEST_F(GatewayStartTest, AutoModesWithoutAutoConnectStayOff) {
  Gateway& f = Start(Config("[Main]\nAutoRead=1\nAutoSend=1\nOffLineMode=1\n"));
  EXPECT_FALSE(f.ui().cb_autoread->isChecked());
  EXPECT_FALSE(f.ui().cb_autosend->isChecked());
  EXPECT_FALSE(f.ui().cb_offline->isChecked());
  EXPECT_TRUE(f.ui().cb_smstype->isEnabled());
  EXPECT_TRUE(f.ui().ed_polint->isEnabled());
  EXPECT_EQ(f.clock().PendingCommand, 0);
  EXPECT_TRUE(JournalMessages().size() <= 1);
}

TEST_F(GatewayStartTest, LockedModeLeavesOnlyConnectAbortDisconnectExitAndCopy) {
  Gateway& f = Start(Config("[Main]\r\nq_mode=1\r\n"));
  EXPECT_TRUE(f.state().LockedMode);
  EXPECT_TRUE(f.ui().sb_connect->isEnabled());
  EXPECT_TRUE(f.ui().B_disconnect->isEnabled());
  EXPECT_TRUE(f.ui().b_exit->isEnabled());
  EXPECT_TRUE(f.ui().b_log2clip->isEnabled());
  EXPECT_FALSE(f.ui().b_abort->isEnabled());  // only while a command waits
  for (QWidget* w : {static_cast<QWidget*>(f.ui().b_save_iniFile), static_cast<QWidget*>(f.ui().cb_comport),
                     static_cast<QWidget*>(f.ui().ed_polint), static_cast<QWidget*>(f.ui().sb_listSMS),
                     static_cast<QWidget*>(f.ui().se_vp_rByte), static_cast<QWidget*>(f.ui().cb_autoread),
                     static_cast<QWidget*>(f.ui().Button4), static_cast<QWidget*>(f.ui().ed_send)})
    EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(f.ui().Memo2->isEnabled());
  // Unchecking auto read would re-enable its settings, but not while locked.
  f.ui().cb_autoread->setChecked(true);
  f.ui().cb_autoread->setChecked(false);
  EXPECT_FALSE(f.ui().ed_polint->isEnabled());
}

TEST_F(GatewayStartTest, SaveRewritesKeysInPlaceAndConfirms) {
  const std::string original =
      "; gateway on the office phone\r\n[Main]\r\nq_mode=0\r\nComPort=2\r\nBaudRate=9600\r\n"
      "PollingInt=30\r\n\r\n[Ports]\r\nCOM2=/dev/ttyUSB0\r\n";
  std::string path = Config(original);
  Gateway& f = Start(path);
  f.ui().ed_polint->setText(QStringLiteral("0"));
  f.ui().ed_LogDir->setText(QStringLiteral("  /srv/sms  "));
  f.SaveSettings();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "\xCE\xCA Saved INI File:" + path);
  std::string saved = Slurp(path);
  EXPECT_EQ(saved.rfind("; gateway on the office phone\r\n[Main]\r\nq_mode=0\r\nComPort=2\r\nBaudRate=9600\r\n"
                        "PollingInt=0\r\n",
                        0),
            0u)
      << saved;
  EXPECT_NE(saved.find("LogDir=/srv/sms\r\n"), std::string::npos);
  EXPECT_NE(saved.find("SaveCalls=0\r\n\r\n[Ports]\r\nCOM2=/dev/ttyUSB0\r\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find('\n', 0) , saved.find("\r\n") + 1);  // CR LF kept
}

TEST_F(GatewayStartTest, SaveIntoReadOnlyFileReportsErrorAndGoesOn) {
  std::string path = Config("[Main]\r\nComPort=1\r\n");
  Gateway& f = Start(path);
  ::chmod(path.c_str(), 0444);
  f.SaveSettings();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "ERROR Save INI File:" + path);
  EXPECT_EQ(Slurp(path), "[Main]\r\nComPort=1\r\n");
}

TEST_F(GatewayStartTest, SaveCreatesAMissingFile) {
  std::string path = dir_ + "/new.ini";
  Gateway& f = Start(path);
  messages_.clear();
  f.SaveSettings();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "\xCE\xCA Saved INI File:" + path);
  EXPECT_EQ(Slurp(path).rfind("[Main]\r\nComPort=1\r\nBaudRate=19200\r\n", 0), 0u);
}

TEST_F(GatewayStartTest, SimAndSignalKeysFillTheirFieldsAndBadOnesAreNamed) {
  Gateway& f = Start(Config("[Main]\r\nSimCheck=1\r\nPin=0042\r\nSignalInt=30\r\n"));
  EXPECT_TRUE(JournalMessages().empty() || JournalMessages()[0].empty());
  EXPECT_TRUE(f.ui().cb_simcheck->isChecked());
  EXPECT_EQ(f.ui().ed_pin->text(), QStringLiteral("0042"));
  EXPECT_EQ(f.ui().ed_pin->echoMode(), QLineEdit::Password);  // dots, not digits
  EXPECT_EQ(f.ui().ed_signalInt->text(), QStringLiteral("30"));
  EXPECT_EQ(f.state().SignalInterval, 30);

  Gateway& g = Start(Config("[Main]\r\nPin=12ab\r\nSignalInt=-3\r\n"));
  auto journal = JournalMessages();
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[0], "Error Pin in INIFile (4 to 8 digits): ignored");
  EXPECT_EQ(journal[1], "Error SignalInt in INIFile (seconds): no signal check");
  EXPECT_EQ(g.ui().ed_pin->text(), QString());
  EXPECT_FALSE(g.ui().cb_simcheck->isChecked());
  EXPECT_EQ(g.state().SignalInterval, 0);
  EXPECT_EQ(g.ui().ed_signalInt->text(), QStringLiteral("0"));
}

TEST_F(GatewayStartTest, MatchReportsIsReadAtStartAndKeptBySave) {
  std::string path = Config("[Main]\r\nMatchReports=1\r\n");
  Gateway& f = Start(path);
  EXPECT_TRUE(f.state().MatchReports);
  f.SaveSettings();
  EXPECT_NE(Slurp(path).find("MatchReports=1\r\n"), std::string::npos) << Slurp(path);
}

}  // namespace
