// Fast mode against the simulated phone: the same dialogue gives the same
// journal, the same lines on the wire and the same results as the default
// mode, only sooner.
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>

#include "GatewayFixture.h"

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
    form->clock.PendingCommand = kNoCommand;  // the test drives the dialogue
    Transaction& t = form->dialogue();

    form->ui.ed_send->setText(QStringLiteral("AT+CSQ"));
    form->ui.b_send->click();
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
  form->clock.PendingCommand = kNoCommand;
  Transaction& t = form->dialogue();
  ASSERT_TRUE(t.FastWaits());
  ASSERT_TRUE(PhoneProcess::Ok(phone->Control("fail +CGSN silent")));

  // The real pause with real (quick) timer ticks: a silent phone times out
  // after more than 180 ticks, as in the default mode.
  form->timer1->setInterval(2);
  const uint32_t start = form->clock.SecondsCounter;
  EXPECT_FALSE(t.SendCommand("AT+CGSN\r"));
  EXPECT_GT(PollClock::Elapsed(start, form->clock.SecondsCounter), 180u);
  EXPECT_EQ(JournalCount("TimeOut Rx Done"), 1u);
  form->timer1->setInterval(100);

  // Abort ends that wait only; the next command is answered.
  QTimer::singleShot(300, form.get(), [this] { form->ui.b_abort->click(); });
  EXPECT_FALSE(t.SendCommand("AT+CGSN\r"));
  EXPECT_TRUE(JournalHas("Manual Abort"));
  EXPECT_TRUE(t.SendCommand("AT\r"));
  EXPECT_TRUE(t.OkFlag);
  EXPECT_FALSE(form->ui.b_abort->isEnabled());
}

}  // namespace
