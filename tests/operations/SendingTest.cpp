// Sending against the simulated phone: the manual send, copies and Stop,
// a phone that refuses or stays silent, the validity period file and the
// service-centre save.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include <unistd.h>

#include "Console.h"
#include "GatewayFixture.h"
#include "Sending.h"
#include "ServiceCentre.h"
#include "TempDir.h"

namespace {

using pdulink::test::Slurp;

class SendingTest : public GatewayTest {
 protected:
  void StartConnected(const std::string& keys = "") {
    Start(keys);
    form->state().BaseDir = base.Path();
    Connect();
  }
  int Send(const std::string& number, const std::string& body) {
    return form->gateway().sending().SendSMS(number, body);
  }
  // The PDUs the phone took with AT+CMGS, in order.
  std::vector<std::string> Submitted() const { return phone->Submitted(); }
  bool CopiesRed() const { return form->ui().ed_Ncopies->palette().color(QPalette::Text) == QColor(Qt::red); }
  // Journal lines without their date-and-time prefix.
  std::vector<std::string> JournalLines() const {
    std::vector<std::string> out;
    std::istringstream in(Journal());
    for (std::string line; std::getline(in, line);) out.push_back(line.size() > 20 ? line.substr(20) : "");
    return out;
  }
  bool InOrder(const std::vector<std::string>& expected) const {
    std::vector<std::string> lines = JournalLines();
    auto at = lines.begin();
    for (const std::string& e : expected) {
      at = std::find(at, lines.end(), e);
      if (at == lines.end()) return false;
    }
    return true;
  }

  pdulink::test::TempDir base{"pdulink-send"};
};

TEST_F(SendingTest, ManualSendIsTheWorkedExampleWithEveryJournalLine) {
  StartConnected();
  form->ui().ed_totel->setText(QStringLiteral("12345678901"));
  form->ui().Ed_smsbody->setText(QStringLiteral("abc"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); })) << Journal();
  EXPECT_TRUE(InOrder({"Start sending to: 12345678901", "is  International telephone number", "00",
                       "Relative Validity Period=167", "set pdu mode ok", "SMS service supported ok",
                       "Executing Send SMS Command:", "Sending string done", "Send SMS Command ok",
                       "Send errorlevel(bytes):3"}))
      << Journal();
  EXPECT_EQ(Submitted(), std::vector<std::string>{"0011000B912143658709F10000A70361F118"});
  std::vector<std::string> sent = Received();
  EXPECT_NE(std::find(sent.begin(), sent.end(), "AT+CMGS=17\\r"), sent.end()) << phone->Transcript();
  EXPECT_EQ(form->ui().ed_Ncopies->text(), QStringLiteral("1"));
  EXPECT_FALSE(CopiesRed());
}

TEST_F(SendingTest, RepliesInSeveralBurstsStillConfirmTheSend) {
  // Each reply arrives in 8-byte pieces 300 ms apart, so "+CSMS: 1,1,1" and
  // "+CMGS: n" come apart from their OK: the send is still prepared and
  // confirmed, and reported as sent.
  StartConnected();
  ASSERT_TRUE(phone->Ok(phone->Control("chunks 8 300")));
  EXPECT_EQ(Send("12345678901", "abc"), 3) << Journal();
  EXPECT_TRUE(InOrder({"set pdu mode ok", "SMS service supported ok", "Sending string done", "Send SMS Command ok"}))
      << Journal();
  EXPECT_EQ(Submitted(), std::vector<std::string>{"0011000B912143658709F10000A70361F118"});
}

TEST_F(SendingTest, CopiesCountDownInRedAndEndAtOne) {
  StartConnected();
  form->ui().ed_Ncopies->setText(QStringLiteral("3"));
  std::vector<std::string> seen;  // the field whenever it changed, red or not
  auto pump = form->dialogue().ProcessEvents;
  form->dialogue().ProcessEvents = [&] {
    std::string now = form->ui().ed_Ncopies->text().toStdString() + (CopiesRed() ? " red" : "");
    if (seen.empty() || seen.back() != now) seen.push_back(now);
    pump();
  };
  EXPECT_EQ(Send("+4915112345678", "Hello"), 5);
  // Before the copies start (preparation) the count is not red yet.
  EXPECT_EQ(seen, (std::vector<std::string>{"3", "3 red", "2 red", "1 red"}));
  EXPECT_EQ(form->ui().ed_Ncopies->text(), QStringLiteral("1"));
  EXPECT_FALSE(CopiesRed());
  EXPECT_EQ(Submitted().size(), 3u);

  // A count that is no number sends once and shows 1; 0 also sends once.
  for (const char* count : {"x", "0"}) {
    phone->Control("clear submitted");
    form->ui().ed_Ncopies->setText(QString::fromLatin1(count));
    EXPECT_EQ(Send("12345", "Hi"), 2) << count;
    EXPECT_EQ(Submitted().size(), 1u) << count;
    EXPECT_EQ(form->ui().ed_Ncopies->text(), QStringLiteral("1")) << count;
  }
}

TEST_F(SendingTest, StopEndsTheCycleAfterTheCopyInProgressAndKeepsTheCount) {
  StartConnected();
  form->ui().ed_Ncopies->setText(QStringLiteral("5"));
  auto pump = form->dialogue().ProcessEvents;
  form->dialogue().ProcessEvents = [&] {
    // Pressed during the second copy.
    if (form->ui().ed_Ncopies->text() == QStringLiteral("4") && !form->state().SendCycleStop)
      form->ui().b_stop_sendcycle->click();
    pump();
  };
  EXPECT_EQ(Send("12345", "Hi"), 2);
  EXPECT_EQ(Submitted().size(), 2u);
  EXPECT_EQ(form->ui().ed_Ncopies->text(), QStringLiteral("3"));
  EXPECT_FALSE(CopiesRed());
  // The next send starts afresh (Stop is cleared) with the remaining count.
  form->dialogue().ProcessEvents = pump;
  phone->Control("clear submitted");
  EXPECT_EQ(Send("12345", "Hi"), 2);
  EXPECT_EQ(Submitted().size(), 3u);
}

TEST_F(SendingTest, RefusalsAndSilenceGiveTheirResults) {
  StartConnected();
  // The prompt answered with ERROR: no copy, the field keeps its count in red.
  phone->Control("fail times=1 +CMGS error");
  form->ui().ed_Ncopies->setText(QStringLiteral("2"));
  EXPECT_EQ(Send("12345", "Hi"), -1);
  EXPECT_TRUE(JournalHas("No SMS body prompt -error"));
  EXPECT_EQ(form->ui().ed_Ncopies->text(), QStringLiteral("2"));
  EXPECT_TRUE(CopiesRed());

  // The PDU refused: every copy is still tried, none confirmed.
  phone->Control("fail times=2 PDU cms 500");
  EXPECT_EQ(Send("12345", "Hi"), -1);
  EXPECT_EQ(JournalCount("Sending string done"), 2u);
  EXPECT_EQ(form->ui().ed_Ncopies->text(), QStringLiteral("1"));
  EXPECT_TRUE(Submitted().empty());

  // One copy refused, the other confirmed: success.
  form->ui().ed_Ncopies->setText(QStringLiteral("2"));
  phone->Control("fail times=1 PDU cms 500");
  EXPECT_EQ(Send("12345", "Hi"), 2);
  EXPECT_EQ(Submitted().size(), 1u);

  // Preparation refused: -2 and nothing is sent.
  phone->Control("fail times=1 +CMGF error");
  EXPECT_EQ(Send("12345", "Hi"), -2);
  EXPECT_EQ(Submitted().size(), 1u);

  // Bad options and numbers stop before any command.
  form->ui().cb_sendoptions->setChecked(true);
  size_t commands = Received().size();
  EXPECT_EQ(Send("12345", "#smsc#Hi"), -1);
  EXPECT_EQ(Send("12a45", "Hi"), -1);
  EXPECT_EQ(Received().size(), commands);
  EXPECT_TRUE(JournalHas("Invalid #SMSC# Option"));
  EXPECT_TRUE(JournalHas("Not Valid telephone number:12a45"));
}

TEST_F(SendingTest, SilentPhoneTimesOutAsAFailedSend) {
  StartConnected();
  FastTicks();
  phone->Control("fail +CMGS silent");
  EXPECT_EQ(Send("12345", "Hi"), -1);
  EXPECT_TRUE(InOrder({"Executing Send SMS Command:", "TimeOut Rx Done", "error sending command"})) << Journal();
  phone->Control("unfail");
  // A preparation command that gets no answer does not pass on the OK of
  // the command before it.
  phone->Control("fail +CSMS silent");
  EXPECT_EQ(Send("12345", "Hi"), -2);
  EXPECT_EQ(JournalCount("set pdu mode ok"), 2u);
  EXPECT_EQ(JournalCount("SMS service supported ok"), 1u);  // the first send's
}

TEST_F(SendingTest, OptionsOnlyWhileDetectionIsOnAndTheValidityPeriodFollowsThem) {
  StartConnected();
  std::ofstream(base.Path() + "/sms_vp.ini", std::ios::binary) << "11\r\nignored\r\n";
  EXPECT_EQ(Send("12345", "#flash#Hi"), 9);
  EXPECT_EQ(form->ui().se_vp_rByte->value(), 11);
  EXPECT_EQ(form->ui().l_VPComment->text(), QStringLiteral("60 min =1 h"));
  EXPECT_EQ(Submitted().back(), "00110005812143F500000B0923333B3C478F9069");

  form->ui().cb_sendoptions->setChecked(true);
  EXPECT_EQ(Send("12345", "#flash##vp197#Hi"), 2);
  EXPECT_EQ(form->ui().se_vp_rByte->value(), 197);
  EXPECT_EQ(form->ui().l_VPComment->text(), QStringLiteral("5 weeks"));
  EXPECT_EQ(Submitted().back(), "00110005812143F50010C502C834");

  // A value typed by the operator lasts only until the next send.
  form->ui().se_vp_rByte->setValue(50);
  Send("12345", "Hi");
  EXPECT_EQ(form->ui().se_vp_rByte->value(), 11);
}

TEST_F(SendingTest, ValidityFileReadingAndSaving) {
  Start();
  form->state().BaseDir = base.Path();
  ServiceCentre& sc = form->gateway().serviceCentre();
  const std::string file = base.Path() + "/sms_vp.ini";

  EXPECT_EQ(sc.ReadValidityPeriod(), 167);  // missing: no line
  std::ofstream(file, std::ios::binary) << "256\r\n";
  EXPECT_EQ(sc.ReadValidityPeriod(), 167);
  EXPECT_EQ(JournalCount("Error Value in file: sms_vp.ini"), 1u);
  std::ofstream(file, std::ios::binary) << "  255 \r\n";
  EXPECT_EQ(sc.ReadValidityPeriod(), 255);
  EXPECT_EQ(form->ui().se_vp_rByte->value(), 255);
  std::ofstream(file, std::ios::binary) << "";
  EXPECT_EQ(sc.ReadValidityPeriod(), 167);
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);  // there, but no file to read
  EXPECT_EQ(sc.ReadValidityPeriod(), 167);
  EXPECT_EQ(JournalCount("Error Read File: sms_vp.ini"), 1u);
  EXPECT_EQ(JournalCount("Error Value in file: sms_vp.ini"), 1u);

  // Saving fails on the directory, then writes exactly digits and CR LF.
  form->ui().se_vp_rByte->setValue(143);
  EXPECT_EQ(form->ui().l_VPComment->text(), QStringLiteral("720 min =12 h"));
  form->ui().b_save_send->click();
  EXPECT_EQ(messages.back(), "Error Save File: sms_vp.ini");
  EXPECT_EQ(form->ui().se_vp_rByte->value(), 143);
  std::filesystem::remove(file);
  form->ui().b_save_send->click();
  EXPECT_EQ(messages.back(), "OK Save File: sms_vp.ini");
  EXPECT_EQ(Slurp(file), "143\r\n");
  form->ui().se_vp_rByte->setValue(7);
  form->ui().b_save_send->click();
  EXPECT_EQ(Slurp(file), "7\r\n");
}

TEST_F(SendingTest, ServiceCentreSaveNormalisesTheFieldAndReleasesTheButton) {
  StartConnected();
  form->ui().ed_smsc->setText(QStringLiteral(" +79001234567 "));
  form->ui().sb_saveSmsc->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_saveSmsc->isChecked(); })) << Journal();
  EXPECT_EQ(form->ui().ed_smsc->text(), QStringLiteral("79001234567"));
  std::vector<std::string> sent = Received();
  EXPECT_NE(std::find(sent.begin(), sent.end(), "AT+CSCA=+79001234567\\r"), sent.end()) << phone->Transcript();
  EXPECT_NE(phone->Control("status").find("79001234567"), std::string::npos) << phone->Control("status");

  size_t commands = Received().size();
  form->ui().ed_smsc->setText(QStringLiteral("7900 123"));
  form->ui().sb_saveSmsc->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_saveSmsc->isChecked(); }));
  EXPECT_TRUE(form->ui().ed_smsc->text().isEmpty());
  EXPECT_TRUE(JournalHas("Invalid SMSC"));
  EXPECT_EQ(Received().size(), commands);
}

TEST(ConsoleSend, NumberThenTheRestAsText) {
  std::string number, text;
  EXPECT_EQ(ParseConsoleLine(" /send 12345 Hi"), ConsoleAction::Send);
  EXPECT_EQ(ParseConsoleLine("/send"), ConsoleAction::Send);
  EXPECT_EQ(ParseConsoleLine("/sender"), ConsoleAction::Help);
  ASSERT_TRUE(ParseSendLine("/send  +4915112345678 \t Hello  there \r", number, text));
  EXPECT_EQ(number, "+4915112345678");
  EXPECT_EQ(text, "Hello  there");
  EXPECT_FALSE(ParseSendLine("/send", number, text));
  EXPECT_FALSE(ParseSendLine("/send 12345", number, text));
  EXPECT_FALSE(ParseSendLine("/send 12345   ", number, text));
}

TEST_F(SendingTest, HeadlessSendsQueueInOrderOnePerPass) {
  StartConnected();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Console console(*form, fds[0]);
  // Read together: none of them overwrites another.
  const std::string lines = "/send 12345\n/send 0301234 \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE2\x82\xAC\n"
                            "/send 12345 Hi\n";
  ASSERT_EQ(::write(fds[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ASSERT_TRUE(RunUntil([&] { return JournalCount("Send errorlevel(bytes):") >= 2; })) << Journal();
  EXPECT_TRUE(JournalHas("Usage: /send NUMBER TEXT"));
  // UTF-8 typed, cp1251 inside, UCS2 on the air (the euro sign included);
  // then the 7-bit one.
  EXPECT_EQ(Submitted(), (std::vector<std::string>{"0011000781301032F40008A710041F04400438043204350442002020AC",
                                                   "00110005812143F50000A702C834"}));
  EXPECT_EQ(console.SendQueueLength(), 0u);
  ::close(fds[1]);
  ::close(fds[0]);
}

TEST_F(SendingTest, HeadlessSendQueueIsBoundedAndShownInStatus) {
  Start();  // not connected: the first request stays on the Send page
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Console console(*form, fds[0]);
  std::string lines;
  for (size_t i = 0; i < Console::kSendQueueLimit + 2; ++i) lines += "/send 12345 message " + std::to_string(i) + "\n";
  lines += "/status\n";
  ASSERT_EQ(::write(fds[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Send queue: "); })) << Journal();
  EXPECT_EQ(JournalCount("Send queue full (100 waiting): /send to 12345 not queued"), 1u) << Journal();
  EXPECT_TRUE(JournalHas("Send queue: 100")) << Journal();
  EXPECT_EQ(form->ui().Ed_smsbody->text(), QStringLiteral("message 0"));
  ::close(fds[1]);
  ::close(fds[0]);
}

TEST_F(SendingTest, TheCallerSeesEachPduJustBeforeItGoesAndItsAnswer) {
  StartConnected();
  std::vector<std::string> events;
  SendHooks hooks;
  hooks.BeforePdu = [&] {
    // The prompt is in, the PDU not yet written.
    std::vector<std::string> got = Received();
    events.push_back("before " + (got.empty() ? std::string() : got.back()));
    return true;
  };
  hooks.Answered = [&](bool ok) { events.push_back(ok ? "answered ok" : "answered refused"); };
  form->ui().ed_Ncopies->setText(QStringLiteral("2"));
  phone->Control("fail times=1 PDU cms 500");
  EXPECT_EQ(form->gateway().sending().SendSMS("12345", "Hi", hooks), 2);
  EXPECT_EQ(events, (std::vector<std::string>{"before AT+CMGS=13\\r", "answered refused", "before AT+CMGS=13\\r",
                                              "answered ok"}));
  EXPECT_EQ(Submitted().size(), 1u);

  // Held back: the phone's entry is cancelled, nothing goes out.
  hooks.BeforePdu = [] { return false; };
  events.clear();
  EXPECT_EQ(form->gateway().sending().SendSMS("12345", "Hi", hooks), -1);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(Submitted().size(), 1u);
  std::vector<std::string> got = Received();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), "\\x1B") << phone->Transcript();
}

}  // namespace
