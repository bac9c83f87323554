// Fast mode against the simulated phone: the same dialogue gives the same
// journal, the same lines on the wire and the same results as the default
// mode, only sooner.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <algorithm>
#include <regex>
#include <sstream>

#include "FormState.h"
#include "Gateway.h"
#include "Receiving.h"
#include "GatewayFixture.h"
#include "Sending.h"
#include "TempDir.h"

namespace {

using pdulink::test::PhoneProcess;

class FastModeTest : public GatewayTest {
 protected:
  struct Outcome {
    std::string journal;              // time prefixes removed
    std::vector<std::string> wire;    // command lines the phone received
    std::vector<int> results;         // SendCommand / WaitReply results and flags
  };

  // Journal text without the date-and-time prefixes. The port may or may not
  // drop the second wake-up "AT" of the connect (it is written while the
  // first one may still be in progress), in either mode, so a doubled
  // wake-up reply counts once.
  static std::string Normalised(std::string journal) {
    static const QRegularExpression prefix(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d "),
                                           QRegularExpression::MultilineOption);
    static const QRegularExpression wake(QStringLiteral("^(AT\\n\\nOK\\n\\n?)+"),
                                         QRegularExpression::MultilineOption);
    QString text = QString::fromStdString(journal);
    text.remove(prefix);
    text.replace(wake, QStringLiteral("AT\n\nOK\n\n"));
    return text.toStdString();
  }

  std::vector<std::string> Wire() const {
    std::vector<std::string> lines = Received();
    if (lines.size() >= 2 && lines[0] == "AT\\r" && lines[1] == "AT\\r") lines.erase(lines.begin());
    return lines;
  }

  // Connect, a manual command, a reply in bursts, error replies, and a phone
  // that never answers.
  Outcome Run(bool fast) {
    Outcome o;
    Start(fast ? "FastMode=1\r\n" : "");
    EXPECT_EQ(form->comport().ReplyAwareFraming(), fast);
    Connect();
    form->clock().PendingCommand = kNoCommand;  // the test drives the dialogue
    Transaction& t = form->dialogue();

    form->ui().ed_send->setText(QStringLiteral("AT+CSQ"));
    form->ui().b_send->click();
    o.results.push_back(RunUntil([this] { return JournalHas("+CSQ:"); }));

    // Bursts far apart: the first already counts as the reply.
    EXPECT_TRUE(PhoneProcess::Ok(phone->Control("chunks 11 600")));
    t.OkFlag = false;
    o.results.push_back(t.SendCommand("AT+CGMI\r"));
    o.results.push_back(t.OkFlag);
    o.results.push_back(t.WaitReply("ok"));
    EXPECT_TRUE(PhoneProcess::Ok(phone->Control("chunks off")));

    for (const char* fault : {"fail times=1 +CGMM error", "fail times=1 +CGMR cms 500", "fail times=1 +CIMI cme 10",
                              "fail times=1 +CSQ reply \\r\\n+CSQ: 5,0\\r\\n"}) {
      EXPECT_TRUE(PhoneProcess::Ok(phone->Control(fault))) << fault;
    }
    for (const char* command : {"AT+CGMM\r", "AT+CGMR\r", "AT+CIMI\r"}) {
      o.results.push_back(t.SendCommand(command));
      o.results.push_back(t.OkFlag);
    }
    // A reply without its final line: the rule closes it, the wait for OK
    // ends only by the following command's reply.
    t.ReplyCapture("start");
    o.results.push_back(t.SendCommand("AT+CSQ\r"));
    o.results.push_back(t.OkFlag);
    o.results.push_back(t.SendCommand("AT\r"));
    o.results.push_back(t.OkFlag);
    o.journal += "capture:" + t.ReplyCapture("stop") + "\n";

    // No answer at all: the wait times out after its ticks (counted fast).
    EXPECT_TRUE(PhoneProcess::Ok(phone->Control("fail +CGSN silent")));
    auto pause = t.Pause;
    FastTicks();
    o.results.push_back(t.SendCommand("AT+CGSN\r"));
    t.Pause = pause;

    o.journal = Normalised(Journal()) + "\n" + o.journal;
    o.wire = Wire();
    form.reset();
    phone.reset();
    return o;
  }
};

TEST_F(FastModeTest, SameJournalWireAndResultsAsTheDefaultMode) {
  Outcome plain = Run(false);
  Outcome fast = Run(true);
  EXPECT_EQ(fast.results, plain.results);
  EXPECT_EQ(fast.wire, plain.wire);
  EXPECT_EQ(fast.journal, plain.journal);
  EXPECT_EQ(plain.results, (std::vector<int>{1, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 1, 0}));
}

TEST_F(FastModeTest, WaitsStillCountTicksAndObeyAbort) {
  Start("FastMode=1\r\n");
  Connect();
  form->clock().PendingCommand = kNoCommand;
  Transaction& t = form->dialogue();
  ASSERT_TRUE(t.FastWaits());
  ASSERT_TRUE(PhoneProcess::Ok(phone->Control("fail +CGSN silent")));

  // The real pause with real (quick) timer ticks: a silent phone times out
  // after more than 180 ticks, as in the default mode.
  form->timer1()->setInterval(2);
  const uint32_t start = form->clock().SecondsCounter;
  EXPECT_FALSE(t.SendCommand("AT+CGSN\r"));
  EXPECT_GT(PollClock::Elapsed(start, form->clock().SecondsCounter), 180u);
  EXPECT_EQ(JournalCount("TimeOut Rx Done"), 1u);
  form->timer1()->setInterval(100);

  // Abort ends that wait only; the next command is answered.
  QTimer::singleShot(300, form.get(), [this] { form->ui().b_abort->click(); });
  EXPECT_FALSE(t.SendCommand("AT+CGSN\r"));
  EXPECT_TRUE(JournalHas("Manual Abort"));
  EXPECT_TRUE(t.SendCommand("AT\r"));
  EXPECT_TRUE(t.OkFlag);
  EXPECT_FALSE(form->ui().b_abort->isEnabled());
}

// Sending in both modes: files through the watched directory (several go out
// in one turn in fast mode) and a manual send with copies. The preparation
// commands of a send are skipped in fast mode once confirmed, so their
// replies ("OK") are missing from the fast journal; the operation's own lines
// ("set pdu mode ok", "SMS service supported ok") are written all the same.
class FastSendingTest : public FastModeTest {
 protected:
  struct Sent {
    std::string journal;
    std::vector<std::string> wire;  // without the preparation commands
    std::vector<std::string> pdus;  // submitted, in order
    std::vector<std::string> files; // what is left in the spool, renamed ones as their suffix
    int preparations = 0;           // AT+CMGF=0 lines on the wire
  };

  // The replies to the preparation commands taken out of a normalised
  // journal, in both modes alike.
  static std::string WithoutPreparationReplies(const std::string& journal) {
    static const std::regex block(
        "(Relative Validity Period=\\d+\\n)[\\s\\S]*?(set pdu mode ok\\n)[\\s\\S]*?(SMS service supported ok\\n)");
    return std::regex_replace(journal, block, "$1$2$3");
  }

  std::vector<std::string> Submitted() const { return phone->Submitted(); }

  static void Drop(const std::string& path, const std::string& line) { std::ofstream(path, std::ios::binary) << line; }

  static std::vector<std::string> Spool(const std::string& dir) {
    std::vector<std::string> out;
    const std::regex renamed("SMS[0-9]{17}(\\.snd|\\.err)");
    std::smatch m;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
      std::string name = e.path().filename().string();
      out.push_back(std::regex_match(name, m, renamed) ? m[1].str() : name);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  void Watch(const std::string& dir) {
    form->state().BaseDir = dir;
    form->ui().Ed_watchDir->setText(QString::fromStdString(dir + "/smss*.txt"));
    form->ui().Ed_watchInt->setText(QStringLiteral("1"));
    form->ui().cb_autosend->setChecked(true);
  }

  Sent Run(bool fast) {
    Sent o;
    pdulink::test::TempDir dir("pdulink-fast-send");
    // Replies in small bursts throughout: a prompt or a result split anywhere.
    Start(fast ? "FastMode=1\r\n" : "", {"--chunks", "5,15"});
    Connect();
    form->clock().PendingCommand = kNoCommand;
    // The phone refuses the first message; a number that is none fails
    // before any command; a line without text stays.
    EXPECT_TRUE(PhoneProcess::Ok(phone->Control("fail times=1 PDU cms 500")));
    Drop(dir.Path() + "/smss1.txt", "+4915112345678 Refused by the phone\r\n");
    Drop(dir.Path() + "/smss2.txt", "0301234 \xCF\xF0\xE8\xE2\xE5\xF2 and Latin\r\n");
    Drop(dir.Path() + "/smss3.txt", "abc Not a number\r\n");
    Drop(dir.Path() + "/smss4.txt", "12345678901 #flash##vp11#Hello\tworld\r\n");
    Drop(dir.Path() + "/smss5.txt", "12345\r\n");
    Drop(dir.Path() + "/smss6.txt", "12345 After the one that stays\r\n");
    Watch(dir.Path());
    form->ui().cb_sendoptions->setChecked(true);
    form->clock().PendingCommand = kDutyPass;
    EXPECT_TRUE(RunUntil([&] { return JournalCount("Rename ") == 4; }, 60)) << Journal();
    // The file without text keeps the one after it waiting, in either mode.
    EXPECT_TRUE(RunUntil([&] { return JournalCount("smss5.txt") >= 3; }, 30)) << Journal();
    form->ui().cb_autosend->setChecked(false);

    form->ui().ed_totel->setText(QStringLiteral("+12345678901"));
    form->ui().Ed_smsbody->setText(QStringLiteral("abc"));
    form->ui().ed_Ncopies->setText(QStringLiteral("2"));
    form->ui().sb_sendSMS->setChecked(true);
    EXPECT_TRUE(RunUntil([&] { return JournalHas("Send errorlevel(bytes):"); }, 30)) << Journal();
    form->clock().PendingCommand = kNoCommand;
    RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); }, 5);

    // Path lines of the waiting file: one per turn, so as many as turns ran.
    static const std::regex waiting("^[^\\n]*smss5\\.txt\\n", std::regex::multiline);
    QString journal = QString::fromStdString(Journal());
    journal.replace(QString::fromStdString(dir.Path()), QStringLiteral("DIR"));
    o.journal = WithoutPreparationReplies(std::regex_replace(Normalised(journal.toStdString()), waiting, ""));
    for (const std::string& line : Wire()) {
      if (line == "AT+CMGF=0\\r") ++o.preparations;
      if (line != "ATE0\\r" && line != "AT+CMGF=0\\r" && line != "AT+CSMS=0\\r") o.wire.push_back(line);
    }
    o.pdus = Submitted();
    o.files = Spool(dir.Path());
    form.reset();
    phone.reset();
    return o;
  }
};

TEST_F(FastSendingTest, SameJournalFilesAndSubmitsAsTheDefaultModeWithFewerPreparations) {
  Sent plain = Run(false);
  Sent fast = Run(true);
  EXPECT_EQ(fast.journal, plain.journal);
  EXPECT_EQ(fast.wire, plain.wire);
  EXPECT_EQ(fast.pdus, plain.pdus);
  EXPECT_EQ(fast.files, plain.files);
  EXPECT_EQ(plain.files, (std::vector<std::string>{".err", ".err", ".snd", ".snd", "smss5.txt", "smss6.txt"}));
  EXPECT_EQ(plain.pdus.size(), 4u);  // two files, two copies (the refused one is not recorded)
  // Default: before every send that got as far (three files, the manual one).
  // Fast: before the first, and again after the phone refused a message.
  EXPECT_EQ(plain.preparations, 3 + 1);
  EXPECT_EQ(fast.preparations, 2);
}

// What the sending operation remembers is forgotten whenever the phone's
// modes may have changed: a command typed by the operator, a disconnect and
// connect, the fast mode switched off and on.
TEST_F(FastSendingTest, ModesArePreparedAgainAfterAnythingThatMayChangeThem) {
  Start("FastMode=1\r\n");
  Connect();
  form->clock().PendingCommand = kNoCommand;
  Sending& sending = form->gateway().sending();
  auto preparations = [this] {
    std::vector<std::string> wire = Received();
    return std::count(wire.begin(), wire.end(), "AT+CMGF=0\\r");
  };
  auto send = [&] { return sending.SendSMS("12345", "Hello"); };

  EXPECT_EQ(send(), 5);
  EXPECT_TRUE(sending.ModesConfirmed());
  EXPECT_EQ(send(), 5);
  EXPECT_EQ(preparations(), 1);

  // The operator switches the phone to text mode: a message sent without
  // preparing would be refused.
  form->ui().ed_send->setText(QStringLiteral("AT+CMGF=1"));
  const size_t oks = JournalCount("OK");
  form->ui().b_send->click();
  EXPECT_FALSE(sending.ModesConfirmed());
  ASSERT_TRUE(RunUntil([&] { return JournalCount("OK") > oks; }, 5)) << Journal();
  EXPECT_EQ(send(), 5);
  EXPECT_EQ(preparations(), 2);

  // Disconnect and connect again: the port was reopened.
  form->ui().B_disconnect->click();
  ASSERT_TRUE(RunUntil([this] { return !form->comport().Active(); }));
  EXPECT_FALSE(sending.ModesConfirmed());
  const size_t connects = JournalCount("SMS Memory Select:");
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([&] { return JournalCount("SMS Memory Select:") > connects; })) << Journal();
  ASSERT_TRUE(RunUntil([this] { return form->clock().PendingCommand == kDutyPass; }));
  form->clock().PendingCommand = kNoCommand;
  EXPECT_EQ(send(), 5) << Journal();
  EXPECT_EQ(preparations(), 3);

  // A send that fails forgets, so does switching the mode off and on.
  ASSERT_TRUE(PhoneProcess::Ok(phone->Control("fail times=1 +CMGS error")));
  EXPECT_EQ(send(), Sending::kInvalid);
  EXPECT_FALSE(sending.ModesConfirmed());
  EXPECT_EQ(send(), 5);
  EXPECT_EQ(preparations(), 4);
  form->ui().cb_fastmode->setChecked(false);
  form->ui().cb_fastmode->setChecked(true);
  EXPECT_EQ(send(), 5);
  EXPECT_EQ(preparations(), 5);

  // Off-line mode never takes them for granted. (Its handshake waits only
  // 10 ticks: real one-second ticks keep a slow machine from timing out.)
  form->timer1()->setInterval(1000);
  form->ui().cb_offline->setChecked(true);
  EXPECT_EQ(send(), 5);
  EXPECT_EQ(send(), 5);
  EXPECT_EQ(preparations(), 7);
}

// Receiving in both modes: one listing as automatic reading runs it, with
// replies in bursts, a message in UCS2, one in two parts and one the decoder
// refuses (the phone keeps it), then a listing with nothing new. The bursts
// of the listing come within the quiet time of the cluster rule: a reply
// slower than that is cut by the rule in either mode, at places that depend
// on timing alone.
class FastReceivingTest : public FastModeTest {
 protected:
  struct Read {
    std::string journal;
    std::vector<std::string> wire;
    std::vector<std::string> files;  // contents of the .txt files, sorted
    std::string stored;              // what the phone keeps
  };

  Read Run(bool fast) {
    Read o;
    pdulink::test::TempDir logs("pdulink-fast-read");
    Start((fast ? "FastMode=1\r\n" : "") + std::string("Append2FileSMSIN=1\r\nLogDir=") + logs.Path() + "/\r\n",
          {"--chunks", "64,5", "--memories", "SM"});
    for (std::string d : {std::string("deliver time=261207101500+04 +4915112345678 \"Hello there\""),
                          std::string("deliver time=261207101600+04 MyBank \"Ваш код: 4711\""),
                          "deliver time=261207101700+04 1098765432 \"long " + std::string(200, 'x') + "\"",
                          std::string("status-report time=261207101800+04 7 +4915112345678 0")})
      EXPECT_TRUE(PhoneProcess::Ok(phone->Control(d))) << d;
    Connect();
    form->clock().PendingCommand = kNoCommand;
    form->ui().cb_autoread->setChecked(true);
    form->ui().cb_smstype->setCurrentIndex(0);
    form->ui().cb_deletesms->setChecked(true);
    Receiving& receiving = form->gateway().receiving();
    receiving.listSMS();
    receiving.listSMS();

    QString journal = QString::fromStdString(Journal());
    journal.replace(QString::fromStdString(logs.Path()), QStringLiteral("DIR"));
    static const QRegularExpression stamp(QStringLiteral("SMS\\d{17}"));
    journal.replace(stamp, QStringLiteral("SMS<stamp>"));
    o.journal = Normalised(journal.toStdString());
    o.wire = Wire();
    for (auto& e : std::filesystem::directory_iterator(logs.Path()))
      if (e.path().extension() == ".txt" && e.path().filename().string().rfind("SMS", 0) == 0)
        o.files.push_back(pdulink::test::Slurp(e.path().string()));
    std::sort(o.files.begin(), o.files.end());
    o.stored = phone->Control("dump stored");
    form.reset();
    phone.reset();
    return o;
  }
};

TEST_F(FastReceivingTest, SameJournalFilesAndPhoneAsTheDefaultMode) {
  Read plain = Run(false);
  Read fast = Run(true);
  EXPECT_EQ(fast.journal, plain.journal);
  EXPECT_EQ(fast.wire, plain.wire);
  EXPECT_EQ(fast.files, plain.files);
  EXPECT_EQ(fast.stored, plain.stored);
  EXPECT_EQ(plain.files.size(), 4u) << plain.journal;  // the long one in two parts
  // The report that does not decode is kept as its raw PDU and deleted.
  EXPECT_EQ(plain.stored.find("stored SM "), std::string::npos) << plain.stored;
  EXPECT_NE(plain.journal.find("TotalReaded=5"), std::string::npos) << plain.journal;
  EXPECT_NE(plain.journal.find("File:DIR/SMS<stamp>.pdu"), std::string::npos) << plain.journal;
  EXPECT_NE(plain.journal.find("TotalReaded=0"), std::string::npos) << plain.journal;
}

}  // namespace
