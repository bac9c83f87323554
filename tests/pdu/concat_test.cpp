// Long outgoing messages: where a body is cut, each part decoded back by
// the decoder, the send options on every part, pinned PDUs, the limit on
// parts, and the durable reference counter.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TempDir.h"
#include "gsm_alphabet.h"
#include "sms_concat.h"
#include "sms_decode.h"
#include "text_helpers.h"

namespace pdulink {
namespace {

using test::Slurp;
using test::TempDir;

ConcatSubmit Long(std::string_view body, int maxParts = 6, bool ref16 = false, std::uint16_t ref = 0x1234,
                  bool options = false, bool srr = false) {
  SubmitChoices c;
  c.sendOptions = options;
  c.statusReport = srr;
  ConcatChoices cc;
  cc.enabled = true;
  cc.maxParts = maxParts;
  cc.ref16 = ref16;
  return AssembleConcatSubmit("+4915112345678", body, c, cc, ref);
}

tSMSDecode DecodePart(const SubmitPart& p) {
  tSMSDecode d;
  // The phone's own centre ("00") is replaced by a real one for the decoder.
  d.Decode(p.pduHex.substr(0, 2) == "00" ? "07919730071111F1" + p.pduHex.substr(2) : p.pduHex);
  return d;
}

// Every part decodes without error as part i of n with the reference; the
// texts, in order, give the body back. Returns the part texts.
std::vector<std::string> CheckRoundTrip(const ConcatSubmit& s, std::string_view body, bool ref16 = false) {
  std::vector<std::string> texts;
  EXPECT_TRUE(s.ok());
  std::string joined;
  for (std::size_t i = 0; i < s.parts.size(); ++i) {
    const SubmitPart& p = s.parts[i];
    tSMSDecode d = DecodePart(p);
    EXPECT_FALSE(d.HasError) << d.ErrorText;
    EXPECT_TRUE(d.Udhi);
    EXPECT_TRUE(d.IsConcatenated);
    EXPECT_EQ(d.ConcatRef, ref16 ? s.reference : (s.reference & 0xFF));
    EXPECT_EQ(d.ConcatTotal, s.parts.size());
    EXPECT_EQ(d.ConcatPart, i + 1);
    EXPECT_EQ(p.cmgsLength * 2 + 2, static_cast<int>(p.pduHex.size()));
    joined += d.Text;
    texts.push_back(d.Text);
  }
  EXPECT_EQ(joined, CollapseBlanks(TrimBlanks(body)));
  return texts;
}

class ConcatTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BuildGsmTables(); }
};

TEST_F(ConcatTest, OneMessageIsByteForByteTheSingleSubmit) {
  const std::string latin160(160, 'a'), cyr70(70, '\xE0'), latin400(400, 'b');
  SubmitChoices c;
  c.sendOptions = true;
  c.statusReport = true;
  for (const std::string& body : {latin160, cyr70, std::string("#flash##vp11#") + latin160, std::string()}) {
    SubmitPdu single = AssembleSubmit("12345", body, c);
    for (bool enabled : {false, true}) {
      ConcatSubmit s = AssembleConcatSubmit("12345", body, c, {enabled, 6, false}, 7);
      ASSERT_EQ(s.parts.size(), 1u);
      EXPECT_EQ(s.parts[0].pduHex, single.pduHex);
      EXPECT_EQ(s.parts[0].cmgsLength, single.cmgsLength);
      EXPECT_EQ(s.base.journal, single.journal);
      EXPECT_FALSE(s.usesReference);
    }
  }
  // Off, a long body is cut as it always was.
  ConcatSubmit off = AssembleConcatSubmit("12345", latin400, c, {false, 6, false}, 7);
  EXPECT_EQ(off.parts[0].pduHex, AssembleSubmit("12345", latin400, c).pduHex);
  // A refused number sends nothing, long or not.
  EXPECT_TRUE(AssembleConcatSubmit("12a", latin400, c, {true, 6, false}, 7).parts.empty());
}

TEST_F(ConcatTest, SeptetBoundaries) {
  // One more than a message, exactly two full parts, one more than that.
  struct Case {
    std::size_t length;
    std::vector<std::size_t> sizes;
  };
  for (const Case& c : {Case{161, {153, 8}}, Case{306, {153, 153}}, Case{307, {153, 153, 1}}}) {
    std::string body;
    for (std::size_t i = 0; i < c.length; ++i) body.push_back(static_cast<char>('a' + i % 26));
    ConcatSubmit s = Long(body);
    std::vector<std::string> texts = CheckRoundTrip(s, body);
    ASSERT_EQ(texts.size(), c.sizes.size()) << c.length;
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i].size(), c.sizes[i]) << c.length;
    // Header (7 septets with the fill bit) plus the text.
    EXPECT_EQ(s.parts[0].userDataLength, 160);
  }
}

TEST_F(ConcatTest, EscapePairIsNeverSplit) {
  // The bracket's two septets would be septets 153 and 154: it goes whole
  // into the second part, which a 152-septet first part shows.
  std::string body = std::string(152, 'x') + "[" + std::string(20, 'y');
  ConcatSubmit s = Long(body);
  std::vector<std::string> texts = CheckRoundTrip(s, body);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::string(152, 'x'));
  EXPECT_EQ(texts[1].substr(0, 1), "[");
  EXPECT_EQ(s.parts[0].userDataLength, 7 + 152);
  // One septet earlier it fits exactly at the end of the first part.
  body = std::string(151, 'x') + "[" + std::string(20, 'y');
  texts = CheckRoundTrip(Long(body), body);
  EXPECT_EQ(texts[0], std::string(151, 'x') + "[");
  // Counting the pair as two septets decides whether a body fits at all.
  body = std::string(159, 'x') + "|";
  EXPECT_EQ(Long(body).parts.size(), 2u);
  EXPECT_EQ(Long(std::string(158, 'x') + "|").parts.size(), 1u);
}

TEST_F(ConcatTest, Ucs2Boundaries) {
  for (auto [length, parts] : {std::pair{71, 2}, {134, 2}, {135, 3}}) {
    std::string body;
    for (int i = 0; i < length; ++i) body.push_back(static_cast<char>(0xC0 + i % 32));
    ConcatSubmit s = Long(body);
    std::vector<std::string> texts = CheckRoundTrip(s, body);
    ASSERT_EQ(static_cast<int>(texts.size()), parts);
    EXPECT_EQ(texts[0].size(), 67u);
    EXPECT_EQ(s.parts[0].userDataLength, 6 + 134);
    EXPECT_EQ(s.base.dataCoding, kDcsUcs2);
  }
}

TEST_F(ConcatTest, SurrogatePairIsNeverSplit) {
  std::u16string units(66, u'a');
  units += u"\xD83D\xDE00";  // one character in two units, at 67 and 68
  units += std::u16string(10, u'b');
  std::vector<std::size_t> cuts = CutUnits(units, 67);
  EXPECT_EQ(cuts, (std::vector<std::size_t>{0, 66, 78}));
  // A plain unit at the cut: full parts.
  EXPECT_EQ(CutUnits(std::u16string(134, u'a'), 67), (std::vector<std::size_t>{0, 67, 134}));
  EXPECT_EQ(CutUnits(std::u16string(135, u'a'), 67), (std::vector<std::size_t>{0, 67, 134, 135}));
  // A low surrogate at the end of a part is the end of a pair: the cut
  // stays where it is.
  std::u16string low(65, u'a');
  low += u"\xD83D\xDE00";
  low += u"c";
  EXPECT_EQ(CutUnits(low, 67), (std::vector<std::size_t>{0, 67, 68}));
}

TEST_F(ConcatTest, SixteenBitReference) {
  std::string body(305, 'q');
  ConcatSubmit s = Long(body, 6, true, 0xBEEF);
  std::vector<std::string> texts = CheckRoundTrip(s, body, true);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0].size(), 152u);  // one septet less for the longer element
  EXPECT_EQ(s.reference, 0xBEEF);
  EXPECT_EQ(DecodePart(s.parts[0]).HeaderHex, "0804BEEF0301");
  std::string cyr(133, '\xF0');
  texts = CheckRoundTrip(Long(cyr, 6, true), cyr, true);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0].size(), 66u);
  // The 8-bit element carries the low octet.
  ConcatSubmit low = Long(body, 6, false, 0x1FF);
  EXPECT_EQ(low.reference, 0xFF);
  EXPECT_EQ(DecodePart(low.parts[1]).HeaderHex, "0003FF0202");
}

TEST_F(ConcatTest, SendOptionsAndStatusReportOnEveryPart) {
  std::string body = "#flash##smsc+79001234567##vp11#" + std::string(200, 'z');
  ConcatSubmit s = Long(body, 6, false, 9, true, true);
  ASSERT_EQ(s.parts.size(), 2u);
  for (const SubmitPart& p : s.parts) {
    EXPECT_EQ(p.pduHex.substr(0, 16), "07919700214365F7");
    tSMSDecode d;
    d.Decode(p.pduHex);
    ASSERT_FALSE(d.HasError) << d.ErrorText;
    EXPECT_EQ(d.FirstOctet, 0x71);  // SUBMIT, relative VP, status report, UDHI
    EXPECT_EQ(d.Dcs, kDcsFlash);
    EXPECT_EQ(d.VpByte, 11);
    EXPECT_EQ(d.Address, "4915112345678");
  }
  // The journal lines of the options come once, from the single assembly.
  EXPECT_EQ(s.base.journal.front(), "Custom SMSC: +79001234567");
}

TEST_F(ConcatTest, MorePartsThanAllowedSendsNothing) {
  std::string seven(153 * 6 + 1, 'm');
  ConcatSubmit s = Long(seven);
  EXPECT_FALSE(s.ok());
  EXPECT_TRUE(s.tooManyParts);
  EXPECT_TRUE(s.parts.empty());
  EXPECT_FALSE(s.usesReference);
  EXPECT_EQ(s.partsNeeded, 7);
  EXPECT_EQ(s.errorLine, "Message too long: 7 parts, MaxParts=6: not sent");
  EXPECT_EQ(Long(std::string(153 * 6, 'm')).parts.size(), 6u);
  EXPECT_TRUE(Long(std::string(161, 'm'), 1).tooManyParts);
  EXPECT_EQ(Long(std::string(153 * 7, 'm'), 255).parts.size(), 7u);
}

TEST_F(ConcatTest, PinnedTwoPartSeptetMessage) {
  std::string body;
  for (int i = 0; i < 17; ++i) body += "0123456789";
  ConcatSubmit s = Long(body, 6, false, 0x42);
  ASSERT_EQ(s.parts.size(), 2u);
  EXPECT_EQ(s.parts[0].pduHex,
            "0051000D91945111325476F80000A7A0050003420201"
            "6031D98C56B3DD7039584C36A3D56C375C0E1693CD6835DB0D9783C564335ACD76C3E56031D98C56"
            "B3DD7039584C36A3D56C375C0E1693CD6835DB0D9783C564335ACD76C3E56031D98C56B3DD703958"
            "4C36A3D56C375C0E1693CD6835DB0D9783C564335ACD76C3E56031D98C56B3DD7039584C36A3D56C"
            "375C0E1693CD6835DB0D9783C564");
  EXPECT_EQ(s.parts[0].cmgsLength, 155);
  EXPECT_EQ(s.parts[1].pduHex, "0051000D91945111325476F80000A71805000342020266B49AED86CBC162B219AD66BBE172");
  EXPECT_EQ(s.parts[1].cmgsLength, 36);
}

TEST_F(ConcatTest, PinnedThreePartUcs2Message) {
  std::string body(140, '\xC0');
  ConcatSubmit s = Long(body, 6, false, 5);
  ASSERT_EQ(s.parts.size(), 3u);
  std::string a67;
  for (int i = 0; i < 67; ++i) a67 += "0410";
  EXPECT_EQ(s.parts[0].pduHex, "0051000D91945111325476F80008A78C050003050301" + a67);
  EXPECT_EQ(s.parts[1].pduHex, "0051000D91945111325476F80008A78C050003050302" + a67);
  EXPECT_EQ(s.parts[2].pduHex, "0051000D91945111325476F80008A712050003050303041004100410041004100410");
}

TEST_F(ConcatTest, CountPartsForTheWindow) {
  EXPECT_EQ(CountParts(std::string(160, 'a'), false).parts, 1);
  PartCount c = CountParts("  " + std::string(203, 'a') + "\r\n", false);
  EXPECT_EQ(c.characters, 203);
  EXPECT_EQ(c.parts, 2);
  EXPECT_EQ(CountParts(std::string(152, 'a') + "[" + std::string(10, 'a'), false).parts, 2);
  EXPECT_EQ(CountParts(std::string(134, '\xE0'), false).parts, 2);
  EXPECT_EQ(CountParts(std::string(134, '\xE0'), true).parts, 3);
  EXPECT_TRUE(CountParts("\xE0", false).ucs2);
  // UTF-8 bodies: code points, escape pairs and surrogate pairs as the send counts them.
  PartCount e = CountParts(std::string(151, 'a') + "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", false, true);
  EXPECT_EQ(e.characters, 156);
  EXPECT_EQ(e.parts, 2);  // five euro signs are ten septets: 161
  PartCount emoji = CountParts(std::string(69, 'a') + "\xF0\x9F\x98\x80", false, true);
  EXPECT_TRUE(emoji.ucs2);
  EXPECT_EQ(emoji.characters, 70);
  EXPECT_EQ(emoji.parts, 2);  // 71 UTF-16 units
  // The count agrees with what is built.
  for (int n : {161, 306, 307, 459, 460}) EXPECT_EQ(CountParts(std::string(n, 'k'), false).parts,
                                                     static_cast<int>(Long(std::string(n, 'k')).parts.size()));
}

TEST_F(ConcatTest, ReferenceRotatesAndSurvivesARestart) {
  TempDir dir;
  const std::string path = dir.Path() + "/" + std::string(kConcatRefFileName);
  {
    ConcatReferenceCounter c(path);
    EXPECT_TRUE(c.Load());  // no file yet
    EXPECT_EQ(c.Peek(), 0);
    EXPECT_TRUE(c.Advance());
    EXPECT_TRUE(c.Advance());
    EXPECT_EQ(c.Peek(), 2);
  }
  EXPECT_EQ(Slurp(path), "2\n");
  ConcatReferenceCounter again(path);
  EXPECT_TRUE(again.Load());
  EXPECT_EQ(again.Peek(), 2);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  {
    std::ofstream(path) << "65535\n";
  }
  ASSERT_TRUE(again.Load());
  again.Advance();
  EXPECT_EQ(again.Peek(), 0);  // wraps round
  for (const char* bad : {"x\n", "65536\n", "-1\n"}) {
    std::ofstream(path) << bad;
    ConcatReferenceCounter c(path);
    EXPECT_FALSE(c.Load()) << bad;
    EXPECT_EQ(c.Peek(), 0) << bad;
  }
  // A file that cannot be written: the counter moves on in memory.
  ConcatReferenceCounter lost(dir.Path() + "/missing/dir/ref");
  std::string error;
  EXPECT_FALSE(lost.Advance(&error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(lost.Peek(), 1);
}

}  // namespace
}  // namespace pdulink
