// Joining received parts: in and out of order, across a restart, duplicate
// parts, senders and reference sizes kept apart, the time-out with gaps,
// and the bytes of the joined pair.
#include <gtest/gtest.h>

#include <fstream>

#include "TempDir.h"
#include "codepage.h"
#include "gsm_alphabet.h"
#include "sms_join.h"

namespace pdulink {
namespace {

using test::Slurp;
using test::TempDir;

constexpr std::int64_t kT0 = 1'700'000'000;
constexpr std::int64_t kDay = 24 * 3600;

ConcatPart Part(std::uint8_t seq, std::uint8_t total, std::string text, std::string sender = "4917012345",
                std::uint16_t ref = 77, bool ref16 = false, std::int64_t arrived = kT0) {
  ConcatPart p;
  p.sender = std::move(sender);
  p.addrType = 0x91;
  p.smsc = "4917200000";
  p.reference = ref;
  p.ref16 = ref16;
  p.total = total;
  p.seq = seq;
  p.text = std::move(text);
  p.timeText = "24-03-0" + std::to_string(seq) + " 10:00:00 [+1]";
  p.stem = "SMS2024030" + std::to_string(seq) + "100000000";
  p.arrived = arrived;
  return p;
}

std::string Utf16(std::string_view ansi) {
  std::string out;
  for (unsigned char c : ansi) {
    char16_t u = Cp1251ToUnicode(c);
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

class JoinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BuildGsmTables(); }
  TempDir dir;
  std::string State() const { return dir.Path() + "/" + std::string(kJoinStateFileName); }
};

TEST_F(JoinTest, InOrderAndOutOfOrder) {
  PartJoiner j(State(), 24);
  EXPECT_TRUE(j.Add(Part(1, 3, "Hello ")));
  EXPECT_TRUE(j.Add(Part(2, 3, "long ")));
  EXPECT_TRUE(j.Ready(kT0).empty());
  EXPECT_TRUE(j.Add(Part(3, 3, "world")));
  std::vector<JoinedMessage> ready = j.Ready(kT0);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "Hello long world");
  EXPECT_FALSE(ready[0].incomplete);

  // Out of order: part order in the text, the first part's time stamp, the
  // name of the part that came last.
  PartJoiner k(State(), 24);
  k.Add(Part(3, 3, "C", "111", 5, false, kT0 + 1));
  k.Add(Part(1, 3, "A", "111", 5, false, kT0 + 2));
  k.Add(Part(2, 3, "B", "111", 5, false, kT0 + 3));
  ready = k.Ready(kT0 + 3);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "ABC");
  EXPECT_EQ(ready[0].first.timeText, "24-03-01 10:00:00 [+1]");
  EXPECT_EQ(ready[0].stem, "SMS20240302100000000");
  JoinedFiles f = BuildJoinedFiles(ready[0], false);
  EXPECT_EQ(f.txtName, "SMS20240302100000000_joined.txt");
  EXPECT_EQ(f.xmlName, "SMS20240302100000000_joined.xml");
  EXPECT_EQ(f.txtBytes, "#From=111\r\n#Time=24-03-01 10:00:00 [+1]\r\nABC\r\n");
  EXPECT_EQ(f.journalLine, "Joined Message:5  3 parts: SMS20240302100000000_joined.txt");
  const std::string xml = f.xmlBytes;
  EXPECT_EQ(xml.substr(0, 2), "\xFF\xFE");
  EXPECT_NE(xml.find(Utf16("DATETIME=\"24-03-01 10:00:00 [+1]\"\r\n")), std::string::npos);
  EXPECT_NE(xml.find(Utf16("REFNUM=\"5\"\r\nPARTS=\"3\"\r\nBODY=\"ABC\" />\r\n")), std::string::npos);
  EXPECT_EQ(xml.find(Utf16("INCOMPLETE")), std::string::npos);
  EXPECT_EQ(xml.find(Utf16("UDHI")), std::string::npos);
}

TEST_F(JoinTest, DuplicatesAreJoinedOnce) {
  PartJoiner j(State(), 24);
  EXPECT_TRUE(j.Add(Part(1, 2, "one ")));
  EXPECT_FALSE(j.Add(Part(1, 2, "one ")));
  EXPECT_TRUE(j.Add(Part(2, 2, "two")));
  std::vector<JoinedMessage> ready = j.Ready(kT0);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "one two");
  j.Joined(ready[0], kT0);
  EXPECT_EQ(j.Pending(), 0u);
  // A late copy of a joined part starts nothing.
  EXPECT_FALSE(j.Add(Part(2, 2, "two", "4917012345", 77, false, kT0 + 60)));
  EXPECT_EQ(j.Pending(), 0u);
  // The same reference reused by the sender for a new message is new.
  EXPECT_TRUE(j.Add(Part(1, 2, "again ", "4917012345", 77, false, kT0 + 120)));
  // Once the joined message is older than the time-out it is forgotten.
  PartJoiner k(State(), 1);
  k.Add(Part(1, 2, "x"));
  k.Add(Part(2, 2, "y"));
  k.Joined(k.Ready(kT0)[0], kT0);
  EXPECT_TRUE(k.Add(Part(2, 2, "y", "4917012345", 77, false, kT0 + 3601)));
}

TEST_F(JoinTest, SendersAndReferenceSizesNeverMix) {
  PartJoiner j(State(), 24);
  j.Add(Part(1, 2, "a1", "100"));
  j.Add(Part(1, 2, "b1", "200"));
  j.Add(Part(2, 2, "a2", "100", 77, true));   // same number, 16-bit reference
  j.Add(Part(2, 3, "c2", "100"));             // same reference, other count
  EXPECT_TRUE(j.Ready(kT0).empty());
  EXPECT_EQ(j.Pending(), 4u);
  j.Add(Part(2, 2, "b2", "200"));
  std::vector<JoinedMessage> ready = j.Ready(kT0);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "b1b2");
  EXPECT_EQ(ready[0].key.sender, "200");
}

TEST_F(JoinTest, TimeoutJoinsWithGaps) {
  PartJoiner j(State(), 24);
  j.Add(Part(1, 4, "A", "555", 9, false, kT0));
  j.Add(Part(3, 4, "C", "555", 9, false, kT0 + 100));
  EXPECT_TRUE(j.Ready(kT0 + kDay - 1).empty());
  std::vector<JoinedMessage> ready = j.Ready(kT0 + kDay);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_TRUE(ready[0].incomplete);
  EXPECT_EQ(ready[0].received, 2);
  EXPECT_EQ(ready[0].text, "A[...]C[...]");
  JoinedFiles f = BuildJoinedFiles(ready[0], false);
  EXPECT_EQ(f.txtName, "SMS20240303100000000_incomplete.txt");
  EXPECT_EQ(f.journalLine, "Joined Message:9  2 of 4 parts, incomplete: SMS20240303100000000_incomplete.txt");
  EXPECT_NE(f.xmlBytes.find(Utf16("PARTS=\"4\"\r\nINCOMPLETE=\"1\"\r\nRECEIVED=\"2\"\r\n")), std::string::npos);
  // Part 1 missing: the time stamp comes from the lowest part there.
  PartJoiner k(State(), 24);
  k.Add(Part(2, 2, "tail", "555", 10));
  ready = k.Ready(kT0 + kDay);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "[...]tail");
  EXPECT_EQ(ready[0].first.timeText, "24-03-02 10:00:00 [+1]");
}

TEST_F(JoinTest, StateSurvivesARestart) {
  {
    PartJoiner j(State(), 24);
    ASSERT_TRUE(j.Load());
    j.Add(Part(1, 3, "tab\there \\ back\r\nslash ", "Alpha\tName", 300, true));
    j.Add(Part(3, 3, "end", "Alpha\tName", 300, true));
    j.Add(Part(1, 2, "x", "999"));
    j.Add(Part(2, 2, "y", "999"));
    j.Joined(j.Ready(kT0)[0], kT0);
    ASSERT_TRUE(j.Save());
    EXPECT_FALSE(j.Dirty());
  }
  PartJoiner j(State(), 24);
  ASSERT_TRUE(j.Load());
  EXPECT_EQ(j.DroppedLines(), 0);
  EXPECT_EQ(j.Pending(), 1u);
  EXPECT_FALSE(j.Add(Part(1, 3, "tab\there \\ back\r\nslash ", "Alpha\tName", 300, true)));
  EXPECT_FALSE(j.Add(Part(2, 2, "y", "999")));  // joined before the restart
  EXPECT_TRUE(j.Add(Part(2, 3, "middle ", "Alpha\tName", 300, true)));
  std::vector<JoinedMessage> ready = j.Ready(kT0);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "tab\there \\ back\r\nslash middle end");
  EXPECT_TRUE(ready[0].key.ref16);
  EXPECT_EQ(ready[0].first.smsc, "4917200000");
  EXPECT_EQ(ready[0].first.addrType, 0x91);
  // Nothing changed since the load: Save writes nothing.
  PartJoiner clean(State(), 24);
  clean.Load();
  const std::string before = Slurp(State());
  EXPECT_TRUE(clean.Save());
  EXPECT_EQ(Slurp(State()), before);
}

TEST_F(JoinTest, DamagedStateLinesAreDroppedAndCounted) {
  PartJoiner good(State(), 24);
  good.Add(Part(1, 2, "kept"));
  ASSERT_TRUE(good.Save());
  {
    std::ofstream out(State(), std::ios::app);
    out << "P\tonly\tthree\n"
        << "P\t1\t145\t2\t0\t0\t7\t0\t2\t3\t0\tS\tT\tseq beyond total\n"
        << "D\t1\t7\t0\t2\t0\tZZ,1\n"
        << "garbage\n";
  }
  PartJoiner j(State(), 24);
  EXPECT_TRUE(j.Load());
  EXPECT_EQ(j.DroppedLines(), 4);
  EXPECT_EQ(j.Pending(), 1u);
  // A state path that is a directory cannot be read.
  PartJoiner bad(dir.Path(), 24);
  std::string error;
  EXPECT_FALSE(bad.Load(&error));
  EXPECT_FALSE(error.empty());
}

TEST_F(JoinTest, PartsFromDecodedMessages) {
  // An SMS-DELIVER, UCS2, 8-bit reference 42, part 1 of 2.
  tSMSDecode d;
  d.Decode("07912143658709F1440A8101896745230008506091222271210A0500032A020100480069");
  ASSERT_FALSE(d.HasError);
  std::optional<ConcatPart> p = PartFromDecode(d, "SMS20050619222217000", kT0);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->sender, "1098765432");
  EXPECT_EQ(p->reference, 42);
  EXPECT_FALSE(p->ref16);
  EXPECT_EQ(p->seq, 1);
  EXPECT_EQ(p->total, 2);
  EXPECT_EQ(p->text, "Hi");
  EXPECT_EQ(p->timeText, "05-06-19 22:22:17 [+3]");
  // The same part with a 16-bit reference 0x2A2A.
  d.Decode("07912143658709F1440A8101896745230008506091222271210B0608042A2A020100480069");
  ASSERT_FALSE(d.HasError) << d.ErrorText;
  p = PartFromDecode(d, "S", kT0);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->ref16);
  EXPECT_EQ(p->reference, 0x2A2A);
  // Not parts: no header, a part number beyond the count, one part only.
  d.Decode("07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37");
  EXPECT_FALSE(PartFromDecode(d, "S", kT0));
  d.Decode("07912143658709F1440A8101896745230008506091222271210A0500032A020300480069");
  EXPECT_FALSE(PartFromDecode(d, "S", kT0));
  d.Decode("07912143658709F1440A8101896745230008506091222271210A0500032A010100480069");
  EXPECT_FALSE(PartFromDecode(d, "S", kT0));
  // The last concatenation element decides the size, as in the decoder.
  EXPECT_TRUE(HeaderHasRef16("00032A02010804AAAA0201"));
  EXPECT_FALSE(HeaderHasRef16("0804AAAA020100032A0201"));
  EXPECT_FALSE(HeaderHasRef16("0804AAAA02"));  // runs past the end: ignored
}

// Parts of an UCS2 SMS-DELIVER from 1098765432, 8-bit reference 0x2A, three
// parts, written out by hand: the A parts stamped 22:22:17, the B parts
// (a second message with the same reference) 22:23:17.
constexpr const char* kA1 = "07912143658709F1440A810189674523000850609122227121" "0A0500032A030100410031";
constexpr const char* kA3 = "07912143658709F1440A810189674523000850609122227121" "0A0500032A030300410033";
constexpr const char* kB1 = "07912143658709F1440A810189674523000850609122327121" "0A0500032A030100420031";
constexpr const char* kB2 = "07912143658709F1440A810189674523000850609122327121" "0A0500032A030200420032";
constexpr const char* kB3 = "07912143658709F1440A810189674523000850609122327121" "0A0500032A030300420033";

ConcatPart FromHex(const char* hex, std::int64_t arrived, std::string stem = "S") {
  tSMSDecode d;
  d.Decode(hex);
  EXPECT_FALSE(d.HasError) << d.ErrorText;
  std::optional<ConcatPart> p = PartFromDecode(d, stem, arrived);
  EXPECT_TRUE(p);
  return p ? *p : ConcatPart{};
}

TEST_F(JoinTest, MessagesSharingAReferenceStayApart) {
  // A2 is lost; B comes whole with the same reference and count.
  PartJoiner j(State(), 24);
  EXPECT_TRUE(j.Add(FromHex(kA1, kT0)));
  EXPECT_TRUE(j.Add(FromHex(kA3, kT0 + 1)));
  EXPECT_TRUE(j.Add(FromHex(kB1, kT0 + 60)));
  EXPECT_TRUE(j.Add(FromHex(kB2, kT0 + 61)));
  EXPECT_TRUE(j.Add(FromHex(kB3, kT0 + 62)));
  EXPECT_FALSE(j.Add(FromHex(kB2, kT0 + 63)));  // a copy of a part held
  std::vector<JoinedMessage> ready = j.Ready(kT0 + 62);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "B1B2B3");
  EXPECT_FALSE(ready[0].incomplete);
  j.Joined(ready[0], kT0 + 62);
  EXPECT_EQ(j.Pending(), 1u);
  ASSERT_TRUE(j.Save());
  // A waits across a restart, and ends with its gap.
  PartJoiner k(State(), 24);
  ASSERT_TRUE(k.Load());
  EXPECT_TRUE(k.Ready(kT0 + 100).empty());
  ready = k.Ready(kT0 + kDay);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "A1[...]A3");
  EXPECT_TRUE(ready[0].incomplete);
  k.Joined(ready[0], kT0 + kDay);

  // After B was joined, the same message sent again (new time stamps, the
  // same texts and reference) is a new message; a late copy of a joined
  // part (its own time stamp) starts nothing.
  EXPECT_FALSE(j.Add(FromHex(kB1, kT0 + 120)));
  const std::string again1 = std::string(kB1).replace(44, 2, "42");  // 22:24:17
  const std::string again2 = std::string(kB2).replace(44, 2, "42");
  const std::string again3 = std::string(kB3).replace(44, 2, "42");
  EXPECT_TRUE(j.Add(FromHex(again1.c_str(), kT0 + 180)));
  EXPECT_TRUE(j.Add(FromHex(again2.c_str(), kT0 + 181)));
  EXPECT_TRUE(j.Add(FromHex(again3.c_str(), kT0 + 182)));
  ready = j.Ready(kT0 + 182);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].text, "B1B2B3");
  EXPECT_EQ(ready[0].first.timeText, "05-06-19 22:24:17 [+3]");
}

TEST_F(JoinTest, AQuarterHourZoneSurvivesTheState) {
  // kA1 and kA3 stamped +05:30 (zone octet 22), written out by hand.
  const std::string a1 = std::string(kA1).replace(48, 2, "22"), a3 = std::string(kA3).replace(48, 2, "22");
  {
    PartJoiner j(State(), 24);
    EXPECT_TRUE(j.Add(FromHex(a1.c_str(), kT0)));
    ASSERT_TRUE(j.Save());
  }
  PartJoiner j(State(), 24);
  ASSERT_TRUE(j.Load());
  EXPECT_EQ(j.DroppedLines(), 0);
  EXPECT_TRUE(j.Add(FromHex(a3.c_str(), kT0 + 1)));
  std::vector<JoinedMessage> ready = j.Ready(kT0 + kDay);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].first.timeText, "05-06-19 22:22:17 [+5]");
  EXPECT_EQ(ready[0].first.zoneQuarters, 22);
}

TEST_F(JoinTest, EveryWaitingMessageTimesOut) {
  // Two wait; the older is joined at its time-out, the younger at its own.
  PartJoiner j(State(), 24);
  j.Add(Part(1, 2, "a", "100", 1, false, kT0));
  j.Add(Part(1, 2, "b", "200", 2, false, kT0 + 100));
  std::vector<JoinedMessage> ready = j.Ready(kT0 + kDay);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].key.sender, "100");
  j.Joined(ready[0], kT0 + kDay);
  EXPECT_TRUE(j.Ready(kT0 + kDay + 99).empty());
  ready = j.Ready(kT0 + kDay + 100);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].key.sender, "200");
  // A complete one joined in between changes nothing for the others.
  PartJoiner k(State(), 24);
  k.Add(Part(1, 2, "a", "100", 1, false, kT0));
  k.Add(Part(1, 2, "c", "300", 3, false, kT0 + 50));
  k.Add(Part(2, 2, "c", "300", 3, false, kT0 + 60));
  ready = k.Ready(kT0 + 60);
  ASSERT_EQ(ready.size(), 1u);
  k.Joined(ready[0], kT0 + 60);
  ready = k.Ready(kT0 + kDay);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].key.sender, "100");
}

TEST_F(JoinTest, WaitingMessagesAreCapped) {
  // Three messages at most, or 600 bytes: the oldest beyond either is
  // joined as incomplete at once, with one line saying why.
  PartJoiner j(State(), 24, JoinLimits{3, 600});
  for (int m = 0; m < 5; ++m)
    EXPECT_TRUE(j.Add(Part(1, 255, "first", "4917012345", std::uint16_t(m), false, kT0 + m)));
  EXPECT_EQ(j.Pending(), 5u);
  std::vector<JoinedMessage> ready = j.Ready(kT0 + 10);
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[0].key.reference, 0);
  EXPECT_EQ(ready[1].key.reference, 1);
  EXPECT_TRUE(ready[0].incomplete);
  std::string gaps;
  for (int i = 0; i < 254; ++i) gaps += kMissingPartText;
  EXPECT_EQ(ready[0].text, "first" + gaps);
  EXPECT_EQ(BuildJoinedFiles(ready[0], false).journalLine,
            "Joined Message:0  1 of 255 parts, incomplete (too many waiting): SMS20240301100000000_incomplete.txt");
  for (const JoinedMessage& m : ready) j.Joined(m, kT0 + 10);
  EXPECT_EQ(j.Pending(), 3u);
  EXPECT_TRUE(j.Ready(kT0 + 10).empty());
  // Bytes: one long part outweighs the rest.
  j.Add(Part(1, 2, std::string(500, 'x'), "999", 9, false, kT0 + 20));
  ready = j.Ready(kT0 + 20);
  ASSERT_EQ(ready.size(), 3u);  // 3 by count, then bytes: the oldest go
  EXPECT_EQ(ready[0].key.reference, 2);
}

}  // namespace
}  // namespace pdulink
