// The archive's pure formatting (journal report, message view, .txt, .xml
// and collective bytes) for each message type, and the durable file writers.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "archive_files.h"
#include "codepage.h"
#include "sms_archive.h"
#include "sms_decode.h"

namespace {

using namespace pdulink;
using Lines = std::vector<std::string>;

const std::string kSmsc = "07912143658709F1";

ArchiveReport ReportOf(const std::string& pdu) {
  tSMSDecode d;
  d.Decode(pdu);
  EXPECT_FALSE(d.HasError) << d.ErrorText << " for " << pdu;
  return BuildArchiveReport(d);
}

// The UTF-16LE bytes of an .xml file back as UTF-8 text (BOM checked).
std::string XmlText(const std::string& bytes) {
  EXPECT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));
  EXPECT_EQ(bytes.size() % 2, 0u);
  std::u16string wide;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return WideToUtf8(wide);
}

TEST(ArchiveFormat, DeliverSevenBitReportViewAndFiles) {
  ArchiveReport r = ReportOf(kSmsc + "040A8101896745230000506091222271210AE8329BFD4697D9EC37");
  EXPECT_EQ(r.journal, (Lines{"", "Service Centre tel= 12345678901", "UD field contains only the short message",
                              "Reply Path parameter is not set in this PDU", "7-bit English", "SMS-DELIVER",
                              "From tel= 1098765432", "05-06-19 22:22:17 [+3]",
                              "========== Message ===============", "hellohello"}));
  EXPECT_EQ(r.view, (Lines{"#From=1098765432", "#Time=05-06-19 22:22:17 [+3]", "hellohello"}));
  EXPECT_EQ(ArchiveTxtBytes(r.view), "#From=1098765432\r\n#Time=05-06-19 22:22:17 [+3]\r\nhellohello\r\n");
  EXPECT_EQ(XmlText(ArchiveXmlBytes(r)),
            "<SMS\r\nSMSC_TEL=\"12345678901\"\r\nCODING=\"7-bit English\"\r\nMTI=\"SMS-DELIVER\"\r\n"
            "TEL=\"1098765432\"\r\nDATETIME=\"05-06-19 22:22:17 [+3]\"\r\nBODY=\"hellohello\" />\r\n");
  EXPECT_EQ(CollectiveLine("19.06.2005 22:22:17", r.view),
            "19.06.2005 22:22:17 #From=1098765432 #Time=05-06-19 22:22:17 [+3] hellohello\r\n");
}

TEST(ArchiveFormat, SubmitWithRelativeValidity) {
  // MR 2A, 11-digit destination, VP AA (4 days), "hello".
  ArchiveReport r = ReportOf(kSmsc + "112A0B919451113254F60000AA05E8329BFD06");
  EXPECT_EQ(r.journal, (Lines{"", "Service Centre tel= 12345678901", "UD field contains only the short message",
                              "Reply Path parameter is not set in this PDU", "7-bit English", "SMS-SUBMIT",
                              "Message Reference: 2A", "To tel= 49151123456",
                              "VP field present an integer represented (relative)", "ValidityPeriod=4 days",
                              "========== Message ===============", "hello"}));
  EXPECT_EQ(r.view, (Lines{"#To=49151123456", "#MR=2A", "#ValidityPeriod=4 days", "hello"}));
  EXPECT_EQ(XmlText(ArchiveXmlBytes(r)),
            "<SMS\r\nSMSC_TEL=\"12345678901\"\r\nCODING=\"7-bit English\"\r\nMTI=\"SMS-SUBMIT\"\r\nMR=\"2A\"\r\n"
            "TEL=\"49151123456\"\r\nValidityPeriod=\"4 days\"\r\nBODY=\"hello\" />\r\n");
}

TEST(ArchiveFormat, StatusReportHasSixViewLinesAndDosConvertsItsTimeLine) {
  ArchiveReport r = ReportOf(kSmsc + "062A0B919451113254F6" "50609122227121" "50609122227121" "46" "00");
  EXPECT_EQ(r.journal.back(), "");  // the empty message line
  EXPECT_NE(std::find(r.journal.begin(), r.journal.end(), "PatamIdent=00"), r.journal.end());
  EXPECT_NE(std::find(r.journal.begin(), r.journal.end(), "7-bit English"), r.journal.end());
  const std::string status = "46:" + StatusReportText(0x46);
  EXPECT_EQ(r.view, (Lines{"#Tel=49151123456", "#MR=2A", "#Time=05-06-19 22:22:17 [+3]",
                           "#TimeDischarge=05-06-19 22:22:17 [+3]", "#StatusRep=" + status, ""}));
  EXPECT_EQ(XmlText(ArchiveXmlBytes(r)),
            "<SMS\r\nSMSC_TEL=\"12345678901\"\r\nCODING=\"7-bit English\"\r\nMTI=\"SMS-STATUS Report\"\r\n"
            "MR=\"2A\"\r\nTEL=\"49151123456\"\r\nDATETIME=\"05-06-19 22:22:17 [+3]\"\r\n"
            "TimeDischarge=\"05-06-19 22:22:17 [+3]\"\r\nStatusRepHex=\"46\"\r\nStatusRepStr=\"" +
                StatusReportText(0x46) + "\"\r\nBODY=\"\" />\r\n");
  Lines view = r.view;
  ApplyDosCodepage(view);
  EXPECT_EQ(view, r.view);  // index 2 is plain ASCII: cp866 leaves it alone
}

TEST(ArchiveFormat, ConcatenatedUcs2PartWithSixteenBitReference) {
  // Part 2 of 3, reference 4711 (0x1267), "Hi".
  ArchiveReport r = ReportOf(kSmsc + "440A8101896745230008" "50609122227121" "0B" "06080412670302" "00480069");
  EXPECT_NE(std::find(r.journal.begin(), r.journal.end(), "Message:4711  2/3"), r.journal.end());
  EXPECT_NE(std::find(r.journal.begin(), r.journal.end(),
                      "beginning of the UD field contains a header in addition of the short message"),
            r.journal.end());
  EXPECT_EQ(r.messageLine, "(080412670302) Hi");
  EXPECT_EQ(r.view.back(), "(080412670302) Hi");
  EXPECT_EQ(r.escapedBody, "Hi");  // the body is the text alone
  EXPECT_EQ(XmlText(ArchiveXmlBytes(r)),
            "<SMS\r\nSMSC_TEL=\"12345678901\"\r\nCODING=\"UCS2\"\r\nMTI=\"SMS-DELIVER\"\r\nTEL=\"1098765432\"\r\n"
            "DATETIME=\"05-06-19 22:22:17 [+3]\"\r\nUDHI=\"080412670302\"\r\nREFNUM=\"4711\"\r\nPART=\"2\"\r\n"
            "TOTALPARTS=\"3\"\r\nBODY=\"Hi\" />\r\n");
}

TEST(ArchiveFormat, AlphanumericUcs2SenderAndDosOption) {
  // As the simulated phone delivers it: sender MyBank, Cyrillic text.
  ArchiveReport r = ReportOf(
      kSmsc +
      "040BD0CDBC30EC5E03000862217032551400360412043004480020043A043E04340020043F043E04340442043204350440043604"
      "340435043D0438044F003A00200034003700310031");
  EXPECT_NE(std::find(r.journal.begin(), r.journal.end(), "Telephone number is Alphanumeric format."),
            r.journal.end());
  EXPECT_EQ(r.view[0], "#From=MyBank");
  EXPECT_EQ(AnsiToUtf8(r.messageLine), "Ваш код подтверждения: 4711");
  const std::string xmlBefore = XmlText(ArchiveXmlBytes(r));
  EXPECT_NE(xmlBefore.find("BODY=\"Ваш код подтверждения: 4711\" />"), std::string::npos);

  Lines dos = r.view;
  ApplyDosCodepage(dos);
  EXPECT_EQ(dos[2], AnsiToOem(r.view[2]));
  EXPECT_EQ(static_cast<unsigned char>(dos[2][0]), 0x82);  // cp866 "В"
  EXPECT_EQ(ArchiveTxtBytes(dos), dos[0] + "\r\n" + dos[1] + "\r\n" + dos[2] + "\r\n");
  EXPECT_EQ(CollectiveLine("d t", dos), "d t " + dos[0] + " " + dos[1] + " " + dos[2] + "\r\n");
  EXPECT_EQ(XmlText(ArchiveXmlBytes(r)), xmlBefore);  // the XML keeps cp1251 text
}

TEST(ArchiveFormat, XmlStaysWellFormedWhateverTheValues) {
  EXPECT_EQ(EscapeXmlAttribute("a&b \"c\" <d> &amp;"), "a&amp;b &quot;c&quot; &lt;d&gt; &amp;amp;");
  EXPECT_EQ(EscapeXmlAttribute(std::string("x\x01y\x1Fz\t\r\n\x7F", 9)), "x?y?z\t\r\n\x7F");

  tSMSDecode d;  // fields set by hand: an alphanumeric sender with markup
  d.SmscNumber = "1";
  d.AddrType = kAddrTypeAlphanumeric;
  d.Address = "A&B<\"C\">";
  d.Text = std::string("Tom & Jerry <\x02>", 15);
  ArchiveReport r = BuildArchiveReport(d);
  const std::string xml = XmlText(ArchiveXmlBytes(r));
  EXPECT_NE(xml.find("TEL=\"A&amp;B&lt;&quot;C&quot;&gt;\"\r\n"), std::string::npos) << xml;
  EXPECT_NE(xml.find("BODY=\"Tom &amp; Jerry &lt;?&gt;\" />"), std::string::npos) << xml;
  // The text file keeps the text as decoded.
  EXPECT_EQ(r.view[2], d.Text);
  EXPECT_EQ(r.view[0], "#From=A&B<\"C\">");
}

TEST(ArchiveFormat, TextWithLineBreaksGivesSeveralViewLines) {
  tSMSDecode d;
  d.AddrType = 0x91;
  d.Address = "49";
  d.Text = "first\r\nsecond\r\n";
  ArchiveReport r = BuildArchiveReport(d);
  EXPECT_EQ(r.view, (Lines{"#From=49", "#Time=", "first", "second", ""}));
  EXPECT_EQ(CollectiveLine("t", r.view), "t #From=49 #Time= first second \r\n");
  Lines dos = r.view;
  ApplyDosCodepage(dos);
  EXPECT_EQ(dos[2], "first");
  // A phone's bare LF (or CR) stays in the view and the .txt, but the
  // collective file keeps one line per message.
  d.Text = "one\ntwo\rthree";
  r = BuildArchiveReport(d);
  EXPECT_EQ(r.view.back(), "one\ntwo\rthree");
  EXPECT_EQ(CollectiveLine("t", r.view), "t #From=49 #Time= one two three\r\n");
  // Other address types than 81, 91 and D0 get their own journal line.
  d.AddrType = 0xA1;
  r = BuildArchiveReport(d);
  EXPECT_NE(std::find(r.journal.begin(), r.journal.end(), "Telephone number is not national or international format."),
            r.journal.end());
}

TEST(ArchiveFiles, DurableWriteNeverReplacesAndLeavesNoTemporaryFile) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/a.txt";
  std::string why;
  bool taken = true;
  ASSERT_TRUE(WriteFileDurably(path, "one", &why, &taken)) << why;
  EXPECT_FALSE(taken);
  // The name is taken: the older file stays as it was.
  EXPECT_FALSE(WriteFileDurably(path, std::string("two\0", 4), &why, &taken));
  EXPECT_TRUE(taken);
  EXPECT_EQ(test::Slurp(path), "one");
  // The record rewrites itself in place.
  ASSERT_TRUE(ReplaceFileDurably(path, std::string("two\0", 4), &why)) << why;
  EXPECT_EQ(test::Slurp(path), std::string("two\0", 4));
  // Neither leaves a temporary file behind.
  size_t files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) ++files;
  EXPECT_EQ(files, 1u);

  EXPECT_FALSE(WriteFileDurably(dir.Path() + "/missing/a.txt", "x", &why, &taken));
  EXPECT_FALSE(taken);
  EXPECT_NE(why.find("No such file"), std::string::npos) << why;
  // A "directory" that is a file fails even for root.
  EXPECT_FALSE(WriteFileDurably(path + "/b.txt", "x", &why));
}

// Another writer's temporary file beside the name (the old fixed
// "NAME.tmp" of a second gateway, say) is neither truncated nor taken over.
TEST(ArchiveFiles, DurableWriteUsesATemporaryFileOfItsOwn) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/SMS.txt";
  for (const char* other : {".tmp", ".0.tmp"}) {
    std::ofstream(path + other, std::ios::binary) << "other writer";
  }
  std::string why;
  ASSERT_TRUE(WriteFileDurably(path, "mine", &why)) << why;
  EXPECT_EQ(test::Slurp(path), "mine");
  EXPECT_EQ(test::Slurp(path + ".tmp"), "other writer");
  EXPECT_EQ(test::Slurp(path + ".0.tmp"), "other writer");
}

TEST(ArchiveFiles, DirectorySyncRefusedByTheFileSystemCountsAsDone) {
  // /proc and /sys refuse fsync on a directory with EINVAL.
  EXPECT_TRUE(SyncParentDirectory("/proc/version"));
  test::TempDir dir;
  EXPECT_TRUE(SyncParentDirectory(dir.Path() + "/x"));
  EXPECT_FALSE(SyncParentDirectory(dir.Path() + "/missing/x"));
}

TEST(ArchiveFiles, AppendCreatesThenAppends) {
  test::TempDir dir;
  const std::string path = dir.Path() + "/PDULINKL.TXT";
  bool created = false;
  ASSERT_TRUE(AppendDurably(path, "1\r\n", created));
  EXPECT_TRUE(created);
  ASSERT_TRUE(AppendDurably(path, "2\r\n", created));
  EXPECT_FALSE(created);
  EXPECT_EQ(test::Slurp(path), "1\r\n2\r\n");
  EXPECT_FALSE(AppendDurably(dir.Path() + "/none/x", "1", created));
  EXPECT_TRUE(created);
}

TEST(ArchiveFiles, FullFileSystemLosesNothingAndLeavesNoHalfLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  test::TempDir dir;
  if (::mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=16k") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string p;
    ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
  } unmount{dir.Path()};

  const std::string log = dir.Path() + "/PDULINKL.TXT";
  bool created = false;
  ASSERT_TRUE(AppendDurably(log, "first line\r\n", created));
  std::string why;
  EXPECT_FALSE(WriteFileDurably(dir.Path() + "/big.txt", std::string(64 * 1024, 'x'), &why));
  EXPECT_NE(why.find("No space"), std::string::npos) << why;
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/big.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/big.txt.tmp"));
  EXPECT_FALSE(AppendDurably(log, std::string(64 * 1024, 'y') + "\r\n", created, &why));
  EXPECT_EQ(test::Slurp(log), "first line\r\n");  // cut back to the last whole line
}

}  // namespace
