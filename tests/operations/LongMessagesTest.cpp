// Long messages end to end against the simulated phone: a long body sent
// as concatenated parts (manual send, watched files, a part refused, too
// many parts, a restart that finds a message partly sent), the send field's
// count, and received parts joined (shuffled, twice, across a restart, by
// the time-out).
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <ctime>
#include <regex>

#include "GatewayFixture.h"
#include "Sending.h"
#include "TempDir.h"
#include "WatchFiles.h"
#include "WatchTurn.h"
#include "sms_decode.h"
#include "sms_join.h"

namespace {

namespace fs = std::filesystem;
using pdulink::test::Slurp;

// Words numbered in order, so that a part out of place shows.
std::string Words(size_t chars) {
  std::string text;
  for (int i = 0; text.size() < chars; ++i) {
    text += 'w';
    text += std::to_string(i);
    text += ' ';
  }
  text.resize(chars);
  if (text.back() == ' ') text.back() = 'x';
  return text;
}

// A submitted PDU with a service-centre address instead of the empty field,
// as the decoder wants one.
std::string WithCentre(const std::string& pdu) { return "07919730071111F1" + pdu.substr(2); }

std::vector<std::string> Named(const std::string& dir, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (auto& e : fs::directory_iterator(dir))
    if (std::regex_match(e.path().filename().string(), re)) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

class LongMessagesTest : public GatewayTest {
 protected:
  std::vector<std::string> JournalLinesFrom(const std::string& prefix) const {
    std::vector<std::string> out;
    std::istringstream in(Journal());
    for (std::string line; std::getline(in, line);)
      if (line.size() > 20 && line.compare(20, prefix.size(), prefix) == 0) out.push_back(line.substr(20));
    return out;
  }
  // The gateway started again on the same configuration and phone.
  void Restart() {
    form.reset();
    StartupOptions options;
    options.configArg = phone->Directory() + "/gateway.ini";
    form = std::make_unique<TForm1>(options);
    form->state().BaseDir = phone->Directory();
    form->timer1()->setInterval(100);
    form->cycle().ExitPause = [] {};
  }
  // The PDUs of a long text as the phone delivers it, taken off the phone.
  std::vector<std::string> DeliveredParts(const std::string& sender, const std::string& text) {
    phone->Control("deliver " + sender + " \"" + text + "\"");
    std::vector<std::string> pdus;
    std::istringstream in(phone->Control("dump stored"));
    for (std::string line; std::getline(in, line);)
      if (line.rfind("stored ", 0) == 0) pdus.push_back(line.substr(line.rfind(' ') + 1));
    phone->Control("clear stored");
    return pdus;
  }
};

// A body of 200 characters goes out as two parts under one reference; the
// field counts characters and parts and takes no more than MaxParts; a body
// that fits stays one message with today's journal; the next long message
// takes the next reference.
TEST_F(LongMessagesTest, ManualSendCutsIntoPartsThatDecodeBackToTheText) {
  Start("LongSms=1\r\nMaxParts=2\r\n");
  Connect();
  const std::string body = Words(200);
  form->ui().ed_totel->setText(QStringLiteral("12345678901"));
  form->ui().Ed_smsbody->setText(QString::fromStdString(Words(400)));
  EXPECT_EQ(form->ui().Ed_smsbody->text().size(), 306);  // two parts of 153
  // The blank at the end of the field is not counted.
  EXPECT_EQ(form->ui().L_lenManualsms->text(), QStringLiteral("305 chars, 2 parts"));
  form->ui().Ed_smsbody->setText(QString::fromStdString(body));
  EXPECT_EQ(form->ui().L_lenManualsms->text(), QStringLiteral("200 chars, 2 parts"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); })) << Journal();

  const std::vector<std::string> pdus = phone->Submitted();
  ASSERT_EQ(pdus.size(), 2u) << Journal();
  std::string joined;
  std::set<int> refs;
  for (size_t i = 0; i < pdus.size(); ++i) {
    pdulink::tSMSDecode d;
    d.Decode(WithCentre(pdus[i]));
    ASSERT_FALSE(d.HasError) << d.ErrorText;
    EXPECT_TRUE(d.IsConcatenated);
    EXPECT_EQ(d.ConcatTotal, 2);
    EXPECT_EQ(d.ConcatPart, i + 1);
    refs.insert(d.ConcatRef);
    joined += d.Text;
  }
  EXPECT_EQ(joined, body);
  EXPECT_EQ(refs.size(), 1u);
  EXPECT_EQ(JournalLinesFrom("Send errorlevel"),
            (std::vector<std::string>{"Send errorlevel(bytes):160 part 1/2", "Send errorlevel(bytes):54 part 2/2",
                                      "Send errorlevel(bytes):214"}))
      << Journal();
  EXPECT_EQ(Slurp(phone->Directory() + "/sms_concat.ref"), "1\n");

  // One message: as without long messages.
  phone->Control("clear submitted");
  form->ui().Ed_smsbody->setText(QStringLiteral("abc"));
  EXPECT_EQ(form->ui().L_lenManualsms->text(), QStringLiteral("3 chars, 1 part"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); })) << Journal();
  EXPECT_EQ(phone->Submitted(), std::vector<std::string>{"0011000B912143658709F10000A70361F118"});
  EXPECT_EQ(JournalLinesFrom("Send errorlevel").back(), "Send errorlevel(bytes):3");

  // The next long message, after a restart, has the next reference.
  phone->Control("clear submitted");
  Restart();
  Connect();
  form->ui().ed_totel->setText(QStringLiteral("12345678901"));
  form->ui().Ed_smsbody->setText(QString::fromStdString(body));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); })) << Journal();
  ASSERT_EQ(phone->Submitted().size(), 2u);
  pdulink::tSMSDecode again;
  again.Decode(WithCentre(phone->Submitted()[0]));
  EXPECT_EQ(again.ConcatRef, *refs.begin() + 1);

  // Two copies: each is a message of its own to the recipient's phone, with
  // its own reference (one shared would merge or drop the second copy).
  phone->Control("clear submitted");
  form->ui().ed_Ncopies->setText(QStringLiteral("2"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); })) << Journal();
  const std::vector<std::string> copies = phone->Submitted();
  ASSERT_EQ(copies.size(), 4u) << Journal();
  std::vector<int> copyRefs;
  for (const std::string& pdu : copies) {
    pdulink::tSMSDecode d;
    d.Decode(WithCentre(pdu));
    copyRefs.push_back(d.ConcatRef);
  }
  EXPECT_EQ(copyRefs, (std::vector<int>{again.ConcatRef + 1, again.ConcatRef + 1, again.ConcatRef + 2,
                                        again.ConcatRef + 2}));
}

// ShiftTables=tr with Utf8Files: a Turkish text that would take three UCS2
// parts goes in two 7-bit parts with the Turkish shift element, counted so
// beside the field, and reads back whole.
TEST_F(LongMessagesTest, TurkishTextGoesWithTheShiftTableInFewerParts) {
  Start("LongSms=1\r\nUtf8Files=1\r\nShiftTables=tr\r\n");
  Connect();
  std::string body;
  while (body.size() < 200) body += "Güzel şişe ığdır ";
  body += "son";
  const QString text = QString::fromStdString(body);
  form->ui().ed_totel->setText(QStringLiteral("12345678901"));
  form->ui().Ed_smsbody->setText(text);
  EXPECT_EQ(form->ui().L_lenManualsms->text(), QString::number(text.size()) + QStringLiteral(" chars, 2 parts"));
  form->ui().sb_sendSMS->click();
  ASSERT_TRUE(RunUntil([&] { return !form->ui().sb_sendSMS->isChecked(); })) << Journal();
  const std::vector<std::string> pdus = phone->Submitted();
  ASSERT_EQ(pdus.size(), 2u) << Journal();
  std::string joined;
  for (const std::string& pdu : pdus) {
    pdulink::tSMSDecode d;
    d.Utf8 = true;
    d.Decode(WithCentre(pdu));
    ASSERT_FALSE(d.HasError) << d.ErrorText;
    EXPECT_EQ(d.Coding, pdulink::kCoding7Bit);
    EXPECT_EQ(d.SingleShift + d.LockingShift, 1);
    joined += d.Text;
  }
  EXPECT_EQ(joined, body);
}

// Watched files: a part refused in the middle ends its message (the last
// part is not sent, the file goes .err, the journal names what went out);
// a body of more parts than MaxParts sends nothing; a long file whose every
// part went out is .snd and leaves no record.
TEST_F(LongMessagesTest, WatchedLongFilesRefusedPartTooManyPartsAndAllSent) {
  pdulink::test::TempDir dir("pdulink-long-watch");
  std::ofstream(dir.Path() + "/smss1.txt") << "12345 " << Words(400) << "\r\n";   // 3 parts
  std::ofstream(dir.Path() + "/smss2.txt") << "12345 " << Words(1000) << "\r\n";  // 7 parts
  std::ofstream(dir.Path() + "/smss3.txt") << "12345 " << Words(300) << "\r\n";   // 2 parts
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nLongSms=1\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  // Once the first part is out, the phone refuses the next PDU.
  auto pump = form->dialogue().ProcessEvents;
  bool refused = false;
  form->dialogue().ProcessEvents = [&] {
    if (!refused && JournalHas(" part 1/3")) refused = phone->Ok(phone->Control("fail times=1 PDU cms 500"));
    pump();
  };
  ASSERT_TRUE(RunUntil([&] { return Named(dir.Path(), "smss.*").empty(); }, 60)) << Journal();

  EXPECT_TRUE(JournalHas("Long message ended at part 2/3: part 1 sent")) << Journal();
  EXPECT_TRUE(JournalHas("Message too long: 7 parts, MaxParts=6: not sent")) << Journal();
  EXPECT_EQ(Named(dir.Path(), R"(SMS\d{17}\.err)").size(), 2u);
  EXPECT_EQ(Named(dir.Path(), R"(SMS\d{17}\.snd)").size(), 1u);
  // Two PDUs of the first file, none of the second, both of the third.
  EXPECT_EQ(Sent("AT+CMGS=").size(), 4u) << phone->Transcript();
  EXPECT_EQ(phone->Submitted().size(), 3u);
  EXPECT_EQ(JournalCount("Auto Send SMS OK"), 1u);
  EXPECT_FALSE(fs::exists(dir.Path() + "/.pdulink-inflight"));
}

// A run killed part way through long messages: the record names the part.
// The next start sends none of it again: a part without answer or a sent
// part short of the last makes the file .unknown, a refused part .err.
TEST_F(LongMessagesTest, RestartWithALongMessagePartlySentSendsNothingAgain) {
  pdulink::test::TempDir dir("pdulink-long-restart");
  std::vector<watch::InFlight> records;
  const std::pair<watch::InFlight::Answer, int> states[] = {
      {watch::InFlight::Answer::None, 2}, {watch::InFlight::Answer::Failed, 3}, {watch::InFlight::Answer::Sent, 2}};
  for (int i = 0; i < 3; ++i) {
    const std::string path = dir.Path() + "/smss" + std::to_string(i + 1) + ".txt";
    std::ofstream(path) << "12345 " << Words(400) << "\r\n";
    watch::InFlight r{path, path, {}, states[i].first, states[i].second, 3};
    ASSERT_TRUE(watch::IdentifyFile(path, r.id));
    records.push_back(r);
  }
  const std::string record = watch::FormatInFlight(records);
  EXPECT_NE(record.find(" none part 2/3\n"), std::string::npos) << record;
  std::ofstream(dir.Path() + "/.pdulink-inflight") << record;
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nLongSms=1\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  ASSERT_TRUE(RunUntil([&] { return Named(dir.Path(), "smss.*").empty(); }, 30)) << Journal();
  ASSERT_TRUE(RunUntil([&] { return !fs::exists(dir.Path() + "/.pdulink-inflight"); }, 10));

  EXPECT_TRUE(JournalHas("Long message " + dir.Path() + "/smss1.txt: part 1 of 3 sent, part 2 unknown"));
  EXPECT_TRUE(JournalHas("Long message " + dir.Path() + "/smss2.txt: parts 1-2 of 3 sent, part 3 refused"));
  EXPECT_TRUE(JournalHas("Long message " + dir.Path() + "/smss3.txt: parts 1-2 of 3 sent")) << Journal();
  EXPECT_EQ(Named(dir.Path(), R"(SMS\d{17}\.unknown)").size(), 2u);
  EXPECT_EQ(Named(dir.Path(), R"(SMS\d{17}\.err)").size(), 1u);
  EXPECT_TRUE(Sent("AT+CMGS").empty()) << phone->Transcript();
}

// A long message whose every part was answered before a kill: the record
// the sending path leaves says so (part 2/2 sent), and a restart that finds
// that record renames the file .snd, as the run would have, sending nothing.
TEST_F(LongMessagesTest, LongMessageFullyAnsweredBeforeAKillIsSentAfterTheRestart) {
  pdulink::test::TempDir dir("pdulink-long-answered");
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nLongSms=1\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  // The record as it stands when the file is renamed: what a kill just
  // before the rename would leave.
  std::string atRename;
  WatchTurn& turn = form->gateway().watchTurn();
  auto settled = turn.OnSettled;
  turn.OnSettled = [&](const std::string& fsPath, const std::string& name) {
    pdulink::test::Slurp(dir.Path() + "/.pdulink-inflight").swap(atRename);
    if (settled) settled(fsPath, name);
  };
  std::ofstream(dir.Path() + "/smss1.txt") << "12345 " << Words(200) << "\r\n";
  ASSERT_TRUE(RunUntil([&] { return Named(dir.Path(), "smss.*").empty(); }, 30)) << Journal();
  EXPECT_NE(atRename.find(" sent part 2/2\n"), std::string::npos) << atRename;
  const size_t sends = Sent("AT+CMGS").size();

  const std::string path = dir.Path() + "/smss2.txt";
  std::ofstream(path) << "12345 " << Words(200) << "\r\n";
  watch::InFlight r{path, path, {}, watch::InFlight::Answer::Sent, 2, 2};
  ASSERT_TRUE(watch::IdentifyFile(path, r.id));
  form.reset();
  std::ofstream(dir.Path() + "/.pdulink-inflight") << watch::FormatInFlight({r});
  Restart();
  form->state().BaseDir = dir.Path();
  ASSERT_TRUE(RunUntil([&] { return Named(dir.Path(), "smss.*").empty(); }, 30)) << Journal();
  EXPECT_EQ(Named(dir.Path(), R"(SMS\d{17}\.snd)").size(), 2u);
  EXPECT_TRUE(Named(dir.Path(), R"(SMS\d{17}\.unknown)").empty());
  EXPECT_FALSE(JournalHas("Long message " + path));
  EXPECT_TRUE(JournalHas("Auto Send SMS OK"));
  EXPECT_EQ(Sent("AT+CMGS").size(), sends) << phone->Transcript();
}

class JoinTest : public LongMessagesTest {
 protected:
  void StartJoining(const std::string& extra = "") {
    Start("AutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\nJoinParts=1\r\n" + extra + "LogDir=" + logs.Path() + "\r\n",
          {"--memories", "SM"});
  }
  std::vector<std::string> Joined() const { return Named(logs.Path(), R"(SMS\d{17}_joined\.txt)"); }
  pdulink::test::TempDir logs{"pdulink-join"};
};

// Parts listed out of order and one of them twice: each listed message is
// archived on its own, and the message is joined once, in part order.
TEST_F(JoinTest, ShuffledAndDuplicatePartsJoinOnceInOrder) {
  StartJoining();
  const std::string text = Words(400);
  const std::vector<std::string> p = DeliveredParts("+4915112345678", text);
  ASSERT_EQ(p.size(), 3u);
  for (const std::string& pdu : {p[2], p[0], p[2], p[1]}) ASSERT_TRUE(phone->Ok(phone->Control("deliver-pdu " + pdu)));
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=4") && Sent("AT+CMGD=").size() >= 4; })) << Journal();
  EXPECT_EQ(Named(logs.Path(), R"(SMS\d{17}\.txt)").size(), 4u);
  ASSERT_EQ(Joined().size(), 1u) << Journal();
  EXPECT_NE(Slurp(Joined()[0]).find(text), std::string::npos) << Slurp(Joined()[0]);
  // UTF-16LE, like every archive .xml.
  const std::string parts("P\0A\0R\0T\0S\0=\0\"\0\x33\0\"\0", 18);
  EXPECT_NE(Slurp(fs::path(Joined()[0]).replace_extension(".xml").string()).find(parts), std::string::npos);
  EXPECT_EQ(JournalCount("Joined Message:"), 1u);
  EXPECT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=0"); }));
  EXPECT_EQ(JournalCount("Joined Message:"), 1u);
}

// The first part comes before a restart, the rest after it; a late copy of
// a part after the join, again after a restart, joins nothing.
TEST_F(JoinTest, PartsWaitAcrossARestartAndAreNotJoinedTwice) {
  StartJoining();
  const std::string text = Words(400);
  const std::vector<std::string> p = DeliveredParts("+4915112345678", text);
  ASSERT_EQ(p.size(), 3u);
  ASSERT_TRUE(phone->Ok(phone->Control("deliver-pdu " + p[0])));
  Connect();
  ASSERT_TRUE(RunUntil([this] { return Sent("AT+CMGD=").size() >= 1; })) << Journal();
  EXPECT_TRUE(fs::exists(logs.Path() + "/PDULINKJ.DAT"));
  Restart();
  for (const std::string& pdu : {p[1], p[2]}) ASSERT_TRUE(phone->Ok(phone->Control("deliver-pdu " + pdu)));
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Joined Message:"); })) << Journal();
  ASSERT_EQ(Joined().size(), 1u);
  EXPECT_NE(Slurp(Joined()[0]).find(text), std::string::npos);
  Restart();
  ASSERT_TRUE(phone->Ok(phone->Control("deliver-pdu " + p[1])));
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=1") && JournalHas("TotalReaded=0"); })) << Journal();
  EXPECT_EQ(Joined().size(), 1u);
  EXPECT_FALSE(JournalHas("Joined Message:"));
}

// A message whose first part waited longer than JoinTimeout is joined with
// its gaps on the next automatic turn, with nothing new on the phone; a join
// state that cannot be written keeps every listed message on the phone.
TEST_F(JoinTest, TimeOutJoinsOnAnEmptyTurnAndAnUnwritableStateDeletesNothing) {
  const std::vector<std::string> p = [&] {
    Start("", {"--memories", "SM"});
    return DeliveredParts("+4915112345678", Words(400));
  }();
  ASSERT_EQ(p.size(), 3u);
  pdulink::tSMSDecode d;
  d.Decode(p[1]);
  auto part = pdulink::PartFromDecode(d, "SMS20240101000000000", std::time(nullptr) - 2 * 3600);
  ASSERT_TRUE(part);
  pdulink::PartJoiner joiner(logs.Path() + "/PDULINKJ.DAT", 1);
  ASSERT_TRUE(joiner.Add(*part));
  ASSERT_TRUE(joiner.Save());
  form.reset();
  phone.reset();

  StartJoining("JoinTimeout=1\r\n");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Joined Message:"); })) << Journal();
  EXPECT_TRUE(JournalHas("1 of 3 parts, incomplete: SMS20240101000000000_incomplete.txt")) << Journal();
  EXPECT_NE(Slurp(logs.Path() + "/SMS20240101000000000_incomplete.txt").find("[...]"), std::string::npos);

  // The state's place taken by a directory once it was read: the part is
  // archived, and kept on the phone.
  fs::remove(logs.Path() + "/PDULINKJ.DAT");
  fs::create_directory(logs.Path() + "/PDULINKJ.DAT");
  ASSERT_TRUE(phone->Ok(phone->Control("deliver-pdu " + p[0])));
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Kept on the phone N Msg = 1: join state not written"); }))
      << Journal();
  EXPECT_TRUE(JournalHas("Join state not written: "));
  EXPECT_TRUE(Sent("AT+CMGD=").empty());
}

// Parts archived by a run that could not write the join state are taken in
// again after a restart: with Utf8Files they decode as the listing decodes
// them (UTF-8, the emoji kept), and the message is joined once.
TEST_F(JoinTest, PartsPickedUpAfterARestartDecodeAsListedAndJoinOnce) {
  StartJoining("Utf8Files=1\r\n");
  const std::string text = "Привет \xF0\x9F\x98\x80 " + Words(90);
  const std::vector<std::string> p = DeliveredParts("+4915112345678", text);
  ASSERT_EQ(p.size(), 2u);
  fs::create_directory(logs.Path() + "/PDULINKJ.DAT");
  for (const std::string& pdu : p) ASSERT_TRUE(phone->Ok(phone->Control("deliver-pdu " + pdu)));
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Kept on the phone N Msg = 2: join state not written"); }))
      << Journal();
  EXPECT_TRUE(Sent("AT+CMGD=").empty());
  Restart();
  fs::remove(logs.Path() + "/PDULINKJ.DAT");
  Connect();
  ASSERT_TRUE(RunUntil([this] { return JournalHas("Joined Message:") && Sent("AT+CMGD=").size() >= 2; }))
      << Journal();
  ASSERT_EQ(Joined().size(), 1u);
  EXPECT_NE(Slurp(Joined()[0]).find(text), std::string::npos) << Slurp(Joined()[0]);
  EXPECT_EQ(Named(logs.Path(), R"(SMS\d{17}\.txt)").size(), 2u);
  EXPECT_TRUE(RunUntil([this] { return JournalHas("TotalReaded=0"); }));
  EXPECT_EQ(JournalCount("Joined Message:"), 1u);
  EXPECT_TRUE(Named(logs.Path(), R"(SMS\d{17}_incomplete\.txt)").empty());
}

}  // namespace
