// Unicode texts (Utf8Files): strict UTF-8, byte-order marks, the choice of
// the 7-bit alphabet or UCS2, the encoder and splitter with UTF-8 bodies,
// and the decoder's full texts.
#include <gtest/gtest.h>

#include "sms_archive.h"
#include "sms_concat.h"
#include "sms_decode.h"
#include "sms_submit.h"
#include "utf8_text.h"

namespace pdulink {
namespace {

// A sent PDU as a phone lists it: with a service centre in front.
std::string AsListed(const std::string& pduHex) { return "07912143658709F1" + pduHex.substr(2); }

SubmitChoices Utf8Choices() {
  SubmitChoices c;
  c.utf8Body = true;
  return c;
}

// Every way UTF-8 can be malformed, and where the first fault is found.
TEST(Utf8Decode, MalformedSequencesReportTheirByteOffset) {
  struct Case {
    const char* name;
    std::string bytes;
    size_t offset;
  };
  const Case cases[] = {
      {"truncated at the end", "ab\xE2\x82", 2},
      {"truncated by an ASCII byte", "\xD0\x9F\xD1x", 2},
      {"overlong two-byte slash", "a\xC0\xAF", 1},
      {"overlong three-byte", "\xE0\x80\xAF", 0},
      {"overlong four-byte", "ok \xF0\x8F\xBF\xBF", 3},
      {"encoded high surrogate", "x\xED\xA0\x80y", 1},
      {"encoded low surrogate", "\xED\xBF\xBF", 0},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"F5 lead byte", "\xF5\x80\x80\x80", 0},
      {"stray continuation", "\xE2\x82\xAC\x80", 3},
  };
  for (const Case& c : cases) {
    Utf8Decoded d = DecodeUtf8(c.bytes);
    EXPECT_FALSE(d.ok) << c.name;
    EXPECT_EQ(d.badOffset, c.offset) << c.name;
    OutgoingText t = ChooseCoding(c.bytes);
    EXPECT_FALSE(t.ok) << c.name;
  }
  // The limits themselves are well-formed.
  Utf8Decoded top = DecodeUtf8("\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xC2\x80");
  ASSERT_TRUE(top.ok);
  EXPECT_EQ(top.chars, (std::u32string{0x10FFFF, 0xFFFF, 0x80}));
}

// Each byte-order mark is honoured and removed; UTF-16 becomes UTF-8, and a
// fault is reported at its offset in the file.
TEST(Utf8Decode, ByteOrderMarks) {
  struct Case {
    const char* name;
    std::string bytes;
    TextBom bom;
    bool ok;
    std::string utf8;
    size_t offset;
  };
  const std::string thumbs = "\xF0\x9F\x91\x8D";
  const Case cases[] = {
      {"none", "12345 \xE2\x82\xAC", TextBom::None, true, "12345 \xE2\x82\xAC", 0},
      {"UTF-8", "\xEF\xBB\xBF+7 Hi", TextBom::Utf8, true, "+7 Hi", 0},
      {"UTF-8, malformed after it", "\xEF\xBB\xBF" "1 \xC3", TextBom::Utf8, false, "", 5},
      {"UTF-16LE", std::string("\xFF\xFE" "1\0 \0\xAC\x20\x3D\xD8\x4D\xDC", 12), TextBom::Utf16Le, true,
       "1 \xE2\x82\xAC" + thumbs, 0},
      {"UTF-16BE", std::string("\xFE\xFF\0" "1\0 \xD8\x3D\xDC\x4D\x04\x1F", 12), TextBom::Utf16Be, true,
       "1 " + thumbs + "\xD0\x9F", 0},
      {"UTF-16LE lone high surrogate", std::string("\xFF\xFE" "a\0\x3D\xD8" "b\0", 8), TextBom::Utf16Le, false, "",
       4},
      {"UTF-16BE lone low surrogate", std::string("\xFE\xFF\xDC\x4D", 4), TextBom::Utf16Be, false, "", 2},
      {"UTF-16LE half a unit", std::string("\xFF\xFE" "a\0b", 5), TextBom::Utf16Le, false, "", 4},
  };
  for (const Case& c : cases) {
    FileText t = DecodeFileText(c.bytes);
    EXPECT_EQ(t.bom, c.bom) << c.name;
    EXPECT_EQ(t.ok, c.ok) << c.name;
    if (c.ok) EXPECT_EQ(t.utf8, c.utf8) << c.name;
    else EXPECT_EQ(t.badOffset, c.offset) << c.name;
  }
}

// Pinned PDUs, packed by hand: a 7-bit text with the euro sign as an
// escape pair, and a UCS2 text whose emoji is a surrogate pair.
TEST(Utf8Submit, PinnedPdus) {
  SubmitPdu euro = AssembleSubmit("12345", "Cost: 5\xE2\x82\xAC", Utf8Choices());
  ASSERT_TRUE(euro.ok);
  EXPECT_EQ(euro.pduHex, "0011000581" "2143F50000A709C3F79CAE03D53665");
  EXPECT_EQ(euro.userDataLength, 9);
  SubmitPdu emoji = AssembleSubmit("12345", "Hi \xF0\x9F\x91\x8D", Utf8Choices());
  ASSERT_TRUE(emoji.ok);
  EXPECT_EQ(emoji.pduHex, "00110005812143F50008A70A004800690020D83DDC4D");
  // Malformed UTF-8 is refused, not sent as something else.
  SubmitPdu bad = AssembleSubmit("12345", "Hi \xED\xA0\x80", Utf8Choices());
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.journal.back(), "Malformed UTF-8 text at byte 3");
}

// Texts in many scripts go out and come back whole: 7-bit when the GSM
// alphabet (with its extension table) holds every character, else UCS2.
TEST(Utf8Submit, RoundTripThroughTheDecoder) {
  struct Case {
    const char* name;
    std::string text;
    bool ucs2;
  };
  const Case cases[] = {
      {"Latin and every extension character", "Total 5\xE2\x82\xAC [a] {b} \\c ~d ^e |f @\xC2\xA3$ \xC3\xA9", false},
      {"Greek capitals of the default alphabet", "\xCE\x94\xCE\xA6\xCE\x93\xCE\x9B\xCE\xA9\xCE\xA0\xCE\xA8\xCE\xA3\xCE\x98\xCE\x9E",
       false},
      {"Greek with small letters", "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1", true},
      {"Cyrillic", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80", true},
      {"Chinese", "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C", true},
      {"Arabic", "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7", true},
      {"emoji: flag and skin tone", "ok \xF0\x9F\x87\xBA\xF0\x9F\x87\xA6 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", true},
      {"grave accent (no GSM character)", "a`b", true},
  };
  for (const Case& c : cases) {
    SubmitPdu p = AssembleSubmit("+4915112345678", c.text, Utf8Choices());
    ASSERT_TRUE(p.ok) << c.name;
    EXPECT_EQ((p.dataCoding & kDcsUcs2) != 0, c.ucs2) << c.name;
    tSMSDecode d;
    d.Utf8 = true;
    d.Decode(AsListed(p.pduHex));
    ASSERT_FALSE(d.HasError) << c.name << d.ErrorText;
    EXPECT_EQ(d.Text, c.text) << c.name;
  }
}

// Long UTF-8 bodies split between characters only: an escape pair and a
// surrogate pair never straddle two parts.
TEST(Utf8Submit, LongBodiesNeverSplitAPair) {
  ConcatChoices on;
  on.enabled = true;
  // 152 letters, then the euro sign: its pair would take septets 153 and
  // 154 of the first part's 153.
  std::string text(152, 'a');
  text += "\xE2\x82\xAC" + std::string(10, 'b');
  ConcatSubmit s = AssembleConcatSubmit("12345", text, Utf8Choices(), on, 7);
  ASSERT_EQ(s.parts.size(), 2u);
  EXPECT_EQ(s.parts[0].userDataLength, 7 + 152);
  // 66 letters, then an emoji: its pair does not fit the 67 units.
  std::string wide = "\xD0\x96" + std::string(65, 'c') + "\xF0\x9F\x98\x80" + std::string(10, 'd');
  ConcatSubmit w = AssembleConcatSubmit("12345", wide, Utf8Choices(), on, 7);
  ASSERT_EQ(w.parts.size(), 2u);
  EXPECT_EQ(w.parts[0].userDataLength, 6 + 2 * 66);
  std::string joined;
  for (const auto* parts : {&s.parts, &w.parts}) {
    joined.clear();
    for (const SubmitPart& part : *parts) {
      tSMSDecode d;
      d.Utf8 = true;
      d.Decode(AsListed(part.pduHex));
      ASSERT_FALSE(d.HasError) << d.ErrorText;
      joined += d.Text;
    }
    EXPECT_EQ(joined, parts == &s.parts ? text : wide);
  }
  // The cutter itself: an escape septet that would end a part moves on.
  EXPECT_EQ(CutSeptets("ab\x1B\x65" "c", 3), (std::vector<size_t>{0, 2, 5}));
  EXPECT_EQ(CutSeptets("a\x1B\x65" "c", 3), (std::vector<size_t>{0, 3, 4}));
}

// Received: the full text in UTF-8 and the .xml in UTF-16 with surrogate
// pairs; 8-bit data as hex.
TEST(Utf8Decode, ReceivedTextsInFull) {
  // SMS-DELIVER in UCS2 from 12345: "Hi" and a grinning face.
  tSMSDecode d;
  d.Utf8 = true;
  d.Decode("07912143658709F10405812143F5000850609122227121" "08" "00480069D83DDE00");
  ASSERT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ(d.Text, "Hi\xF0\x9F\x98\x80");
  ArchiveReport r = BuildArchiveReport(d);
  const std::string xml = ArchiveXmlBytes(r, true);
  EXPECT_NE(xml.find(std::string("\"\0H\0i\0\x3D\xD8\x00\xDE\"\0", 12)), std::string::npos);
  EXPECT_EQ(ArchiveTxtBytes(r.view).substr(ArchiveTxtBytes(r.view).rfind("Hi")), "Hi\xF0\x9F\x98\x80\r\n");

  // 7-bit with the euro sign (septets 1B 65).
  tSMSDecode e;
  e.Utf8 = true;
  e.Decode("07912143658709F10405812143F5000050609122227121" "02" "9B32");
  ASSERT_FALSE(e.HasError) << e.ErrorText;
  EXPECT_EQ(e.Text, "\xE2\x82\xAC");

  // 8-bit data: hex; without Utf8 it has no text, as before.
  tSMSDecode b;
  b.Utf8 = true;
  b.Decode("07912143658709F10405812143F5000450609122227121" "03" "00FF7F");
  ASSERT_FALSE(b.HasError) << b.ErrorText;
  EXPECT_EQ(b.Text, "00FF7F");
  b.Utf8 = false;
  b.Decode("07912143658709F10405812143F5000450609122227121" "03" "00FF7F");
  EXPECT_EQ(b.Text, "");
}

}  // namespace
}  // namespace pdulink
