// Utf8Files=1: the message line of a UTF-8 file, and end to end, texts in
// many scripts from outgoing files through the simulated phone and back
// into the archive; malformed files go .err with nothing sent.
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "GatewayFixture.h"
#include "TempDir.h"
#include "WatchFiles.h"
#include "sms_decode.h"

namespace {

namespace fs = std::filesystem;

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string Utf16(const std::u16string& units, bool le) {
  std::string out = le ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t u : units) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out.push_back(le ? lo : hi);
    out.push_back(le ? hi : lo);
  }
  return out;
}

TEST(WatchFilesUtf8, FirstLineWithMarksAndFaults) {
  struct Case {
    const char* name;
    std::string head;
    bool ok;
    std::string line;
    size_t offset;
  };
  const Case cases[] = {
      {"plain, second line ignored", "12345 \xE2\x82\xAC\r\nsecond \xFF", true, "12345 \xE2\x82\xAC", 0},
      {"UTF-8 mark", "\xEF\xBB\xBF" "1 a\nb", true, "1 a", 0},
      {"UTF-16LE, a unit holding byte 0A is no line end", Utf16(u"1 \u010A\r\nx", true), true, "1 \xC4\x8A", 0},
      {"UTF-16BE", Utf16(u"1 \u0A05\n", false), true, "1 \xE0\xA8\x85", 0},
      {"malformed after the mark, offset counts it", "\xEF\xBB\xBF" "1 \xE0\x80\xAF", false, "", 5},
      {"lone surrogate in UTF-16", Utf16(u"1 \xD83D", true), false, "", 6},
  };
  for (const Case& c : cases) {
    watch::Utf8Line l = watch::FirstLineUtf8(c.head);
    EXPECT_EQ(l.ok, c.ok) << c.name;
    if (c.ok) EXPECT_EQ(l.line, c.line) << c.name;
    else EXPECT_EQ(l.badOffset, c.offset) << c.name;
  }
  // A head cut at its limit inside a character keeps what came before.
  std::string cut = "1 " + std::string(watch::kMaxHeadBytes - 3, 'a') + "\xE2\x82\xAC";
  cut.resize(watch::kMaxHeadBytes);
  watch::Utf8Line l = watch::FirstLineUtf8(cut);
  EXPECT_TRUE(l.ok);
  EXPECT_EQ(l.line.size(), watch::kMaxHeadBytes - 1);
}

TEST(WatchFilesUtf8, NumberBeforeATabMayHoldSeparators) {
  struct Case {
    const char* line;
    bool ok;
    const char* number;
    const char* body;
  };
  const Case cases[] = {
      {"+7 916 123-45-67\tHello  there", true, "+79161234567", "Hello there"},
      {"  (+44) 20 7946-0958\t\xE2\x82\xAC 5", true, "+442079460958", "\xE2\x82\xAC 5"},
      {"+7 916 Hello\tworld", true, "+7", "916 Hello world"},  // no number before the tab: first blank
      {"12345 Hi\tthere", true, "12345", "Hi there"},
      {"12-34 Hi", true, "12-34", "Hi"},  // without a tab the separators stay (an invalid number)
      {"7+9\tHi", true, "7+9", "Hi"},
      {"+7 916\t", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string number, body;
    EXPECT_EQ(watch::SplitMessageLineUtf8(c.line, number, body), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_EQ(number, c.number) << c.line;
    EXPECT_EQ(body, c.body) << c.line;
  }
}

using Utf8EndToEnd = GatewayTest;

TEST_F(Utf8EndToEnd, TextsInManyScriptsGoOutWholeAndComeBackIntoTheArchive) {
  pdulink::test::TempDir dir("pdulink-utf8-out");
  pdulink::test::TempDir logs("pdulink-utf8-in");
  struct Text {
    const char* name;
    std::string text;
  };
  const Text texts[] = {
      {"Latin with every extension character", "5\xE2\x82\xAC [a] {b} \\c ~d ^e |f"},
      {"Cyrillic", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80"},
      {"Greek", "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1"},
      {"Chinese", "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C"},
      {"Arabic", "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"},
      {"flag and skin tone", "\xF0\x9F\x87\xBA\xF0\x9F\x87\xA6 \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
  };
  // Each a file of its own: without a mark, with the UTF-8 mark, the
  // number written with separators before a tab; UTF-16 files below.
  for (size_t i = 0; i < std::size(texts); ++i) {
    std::string line = (i % 3 == 0 ? "12345 " : i % 3 == 1 ? "\xEF\xBB\xBF" "12345 " : "+1 (234) 5-6\t") +
                       texts[i].text + "\r\nignored\r\n";
    Write(dir.Path() + "/smss" + std::to_string(i) + ".txt", line);
  }
  Write(dir.Path() + "/smss6.txt", Utf16(u"12345 \u20AC\U0001F600\r\n", true));
  Write(dir.Path() + "/smss7.txt", Utf16(u"12345 \u0394\u03A6\r\n", false));
  Write(dir.Path() + "/smss8.txt", "12345 ok \xED\xA0\x80\r\n");  // an encoded surrogate
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nUtf8Files=1\r\nAutoRead=1\r\nPollingInt=1\r\n"
        "Append2FileSMSIN=1\r\nLogDir=" + logs.Path() + "\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  ASSERT_TRUE(RunUntil([&] {
    for (int i = 0; i <= 8; ++i)
      if (fs::exists(dir.Path() + "/smss" + std::to_string(i) + ".txt")) return false;
    return true;
  }, 60)) << Journal();

  EXPECT_TRUE(JournalHas("Malformed UTF-8: " + dir.Path() + "/smss8.txt at byte 9")) << Journal();
  const std::vector<std::string> sent = phone->Submitted();
  ASSERT_EQ(sent.size(), 8u) << Journal();
  for (size_t i = 0; i < sent.size(); ++i) {
    pdulink::tSMSDecode d;
    d.Utf8 = true;
    d.Decode("07912143658709F1" + sent[i].substr(2));
    ASSERT_FALSE(d.HasError) << sent[i];
    if (i < std::size(texts)) {
      EXPECT_EQ(d.Text, texts[i].text) << texts[i].name;
      EXPECT_EQ(d.Address, i % 3 == 2 ? "123456" /* "+1 (234) 5-6" */ : "12345") << texts[i].name;
    }
  }
  // The euro sign and the Greek capitals are GSM characters; the emoji is not.
  pdulink::tSMSDecode six, seven;
  six.Utf8 = seven.Utf8 = true;
  six.Decode("07912143658709F1" + sent[6].substr(2));
  seven.Decode("07912143658709F1" + sent[7].substr(2));
  EXPECT_EQ(six.Text, "\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(six.Coding, pdulink::kCodingUcs2);
  EXPECT_EQ(seven.Text, "\xCE\x94\xCE\xA6");
  EXPECT_EQ(seven.Coding, pdulink::kCoding7Bit);

  // Back: the phone delivers each text, the gateway archives it in UTF-8.
  for (const Text& t : texts)
    ASSERT_TRUE(phone->Ok(phone->Control("deliver 12345 " + t.text))) << t.name;
  const std::string collective = logs.Path() + "/PDULINKL.TXT";
  ASSERT_TRUE(RunUntil([&] {
    std::ifstream in(collective, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::count(all.begin(), all.end(), '\n') >= static_cast<long>(std::size(texts));
  }, 60)) << Journal();
  const std::string all = pdulink::test::Slurp(collective);
  std::string txts;
  for (auto& e : fs::directory_iterator(logs.Path()))
    if (e.path().extension() == ".txt" && e.path().filename() != "PDULINKL.TXT")
      txts += pdulink::test::Slurp(e.path().string());
  for (const Text& t : texts) {
    EXPECT_NE(all.find(" " + t.text + "\r\n"), std::string::npos) << t.name;
    EXPECT_NE(txts.find("\r\n" + t.text + "\r\n"), std::string::npos) << t.name;
    EXPECT_TRUE(JournalHas(t.text)) << t.name;
  }
  EXPECT_EQ(txts.find("\xEF\xBB\xBF"), std::string::npos);
}

}  // namespace
