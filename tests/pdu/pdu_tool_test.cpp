// pdulink-pdu run in-process: arguments, standard input, JSON, exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "pdu_tool.h"

namespace pdulink::pdutool {
namespace {

const std::string kHello =
    "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result RunTool(std::vector<std::string> args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  int status = Run(args, in, out, err);
  return {status, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(PduTool, JsonEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ("a\\\"b\\\\c", JsonEscape("a\"b\\c"));
  EXPECT_EQ("\\r\\n\\t\\b\\f\\u0001\\u001F", JsonEscape("\r\n\t\b\f\x01\x1F"));
  EXPECT_EQ("\xD0\x96 \x7F", JsonEscape("\xD0\x96 \x7F"));
}

TEST(PduTool, DecodeJsonOneObjectPerLine) {
  Result r = RunTool({"--json", "decode", kHello, "00"});
  EXPECT_EQ(kExitFailed, r.status);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("\"Text\":\"hellohello\""));
  EXPECT_NE(std::string::npos, lines[0].find("\"SmscType\":145"));
  EXPECT_NE(std::string::npos, lines[0].find("\"HasError\":false"));
  EXPECT_NE(std::string::npos, lines[1].find("\"ErrorText\":\"LenSMSC<1\""));
  EXPECT_EQ('{', lines[1].front());
  EXPECT_EQ('}', lines[1].back());
}

TEST(PduTool, JsonTextsAreUtf8) {
  // UCS2 "Жz\n" -> cp1251 inside the decoder -> UTF-8 and escaped here
  Result r = RunTool({"decode", "--json",
                      "07912143658709F1040A8101896745230008506091222271210604160" "07A000A"});
  EXPECT_EQ(kExitOk, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"Text\":\"\xD0\x96z\\n\"")) << r.out;
}

TEST(PduTool, JsonKeepsQuarterHourZones) {
  // A status report: centre time +05:30, discharge -03:30.
  Result r = RunTool({"--json", "decode", "07912143658709F1" "06" "05" "0D91945111325476F8" "50609122227122"
                                          "50609122227149" "00" "00"});
  EXPECT_EQ(kExitOk, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"TimeText\":\"05-06-19 22:22:17 [+5:30]\",\"TimeZoneQuarters\":22,"))
      << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("\"DischargeTime\":\"05-06-19 22:22:17 [-3:30]\",\"DischargeZoneQuarters\":-14,"))
      << r.out;
}

TEST(PduTool, ReadsStandardInputAndSkipsDialogueLines) {
  std::string listing = "AT+CMGL=4\r\n+CMGL: 1,1,,30\r\n" + kHello + "\r\n\r\n" + kHello +
                        "\r\nOK\r\n";
  Result r = RunTool({"decode", "--json"}, listing);
  EXPECT_EQ(kExitOk, r.status);
  // One output line per input line: the dialogue lines are marked skipped,
  // the blank line is an error, the PDUs decode where they stand.
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(6u, lines.size()) << r.out;
  EXPECT_EQ("{\"Line\":1,\"Skipped\":true}", lines[0]);
  EXPECT_EQ("{\"Line\":2,\"Skipped\":true}", lines[1]);
  EXPECT_NE(std::string::npos, lines[2].find("\"Text\":\"hellohello\""));
  EXPECT_EQ("{\"Line\":4,\"HasError\":true,\"ErrorText\":\"empty line\"}", lines[3]);
  EXPECT_NE(std::string::npos, lines[4].find("\"Text\":\"hellohello\""));
  EXPECT_EQ("{\"Line\":6,\"Skipped\":true}", lines[5]);
}

TEST(PduTool, StandardInputBlankAndBadLinesKeepTheirPlace) {
  // Scripts pair input and output by line: a blank or broken line in the
  // middle must not shift the answers to the lines after it.
  Result r = RunTool({"--json", "decode"}, kHello + "\n\n  \n00\n" + kHello + "\n");
  EXPECT_EQ(kExitFailed, r.status);  // "00" is a PDU that fails
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(5u, lines.size()) << r.out;
  EXPECT_NE(std::string::npos, lines[0].find("hellohello"));
  EXPECT_NE(std::string::npos, lines[1].find("\"ErrorText\":\"empty line\""));
  EXPECT_NE(std::string::npos, lines[2].find("\"ErrorText\":\"empty line\""));
  EXPECT_NE(std::string::npos, lines[3].find("\"ErrorText\":\"LenSMSC<1\""));
  EXPECT_NE(std::string::npos, lines[4].find("hellohello"));

  // Blank lines alone are no failed PDU; the readable form numbers blocks by line.
  r = RunTool({"decode"}, "\n" + kHello + "\n");
  EXPECT_EQ(kExitOk, r.status);
  EXPECT_EQ(0u, r.out.find("PDU 1\nError           empty line\n\nPDU 2\n")) << r.out;
}

TEST(PduTool, ReadableOutputQuotesTheText) {
  Result r = RunTool({"decode", kHello});
  EXPECT_EQ(kExitOk, r.status);
  EXPECT_NE(std::string::npos, r.out.find("Text            \"hellohello\""));
  EXPECT_NE(std::string::npos, r.out.find("05-06-19 22:22:17 [+3]"));

  r = RunTool({"decode", "0781"});
  EXPECT_EQ(kExitFailed, r.status);
  EXPECT_NE(std::string::npos,
            r.out.find("ServiceCenter telephone is not international format of SMSC tel"));
}

TEST(PduTool, UsageHelpAndVersion) {
  Result r = RunTool({"--help"});
  EXPECT_EQ(kExitOk, r.status);
  EXPECT_NE(std::string::npos, r.out.find("Usage: pdulink-pdu"));
  r = RunTool({"--version"});
  EXPECT_EQ(kExitOk, r.status);
  EXPECT_EQ(std::string("pdulink-pdu ") + PDULINK_VERSION_TEXT + "\n", r.out);
  EXPECT_EQ(kExitUsage, RunTool({}).status);
  EXPECT_EQ(kExitUsage, RunTool({"encode"}).status);
  EXPECT_EQ(kExitUsage, RunTool({"decode", "--frobnicate"}).status);
}

TEST(PduToolEncode, WorkedExampleAndJson) {
  Result r = RunTool({"encode", "12345678901", "abc"});
  EXPECT_EQ(kExitOk, r.status) << r.err;
  EXPECT_EQ("0011000B912143658709F10000A70361F118\nAT+CMGS=17\n", r.out);
  r = RunTool({"--json", "encode", "+12345678901", "abc"});
  EXPECT_EQ("{\"Pdu\":\"0011000B912143658709F10000A70361F118\",\"CmgsLength\":17,\"UserDataLength\":3}\n",
            r.out);
}

// --utf8 keeps every character both ways; without it the same text loses
// what cp1251 lacks.
TEST(PduToolEncode, Utf8KeepsEveryCharacterBothWays) {
  Result r = RunTool({"--utf8", "encode", "12345", "Hi", "\xF0\x9F\x91\x8D"});
  EXPECT_EQ(kExitOk, r.status) << r.err;
  EXPECT_EQ("00110005812143F50008A70A004800690020D83DDC4D\nAT+CMGS=21\n", r.out);
  EXPECT_EQ(RunTool({"encode", "12345", "Hi", "\xF0\x9F\x91\x8D"}).out.substr(18, 2), "00");  // 7-bit "Hi ?"
  r = RunTool({"--utf8", "decode", "07912143658709F10405812143F500085060912222712108" "00480069D83DDE00"});
  EXPECT_EQ(kExitOk, r.status) << r.err;
  EXPECT_NE(r.out.find("\"Hi\xF0\x9F\x98\x80\""), std::string::npos) << r.out;
  r = RunTool({"--utf8", "--json", "decode", "07912143658709F10405812143F500005060912222712102" "9B32"});
  EXPECT_NE(r.out.find("\"Text\":\"\xE2\x82\xAC\""), std::string::npos) << r.out;
}

// --shift takes a national language table as the gateway does with
// ShiftTables=, and decode reads such a message back.
TEST(PduToolEncode, ShiftTablesEncodeAndDecode) {
  Result r = RunTool({"encode", "--shift", "tr,es", "+79270711545", "Teşekkürler,", "ığdır", "Şişli"});
  ASSERT_EQ(kExitOk, r.status) << r.err;
  EXPECT_EQ("0051000B919772701145F50000A72303240101A09637F3F27AED97B3CB72166893DE9CC99BB41CB499A63773761A\n"
            "AT+CMGS=45\n",
            r.out);
  r = RunTool({"--utf8", "decode", "07919730071111F1" + Lines(r.out)[0].substr(2)});
  EXPECT_NE(r.out.find("Teşekkürler, ığdır Şişli"), std::string::npos) << r.out;
  r = RunTool({"encode", "--multipart", "--shift", "tr", "12345", std::string(200, 'a') + "ş"});
  EXPECT_EQ(2u, Lines(r.out).size()) << r.out;
  EXPECT_EQ(kExitUsage, RunTool({"encode", "--shift", "xx", "12345", "a"}).status);
  EXPECT_EQ(kExitUsage, RunTool({"decode", "--shift", "tr", "00"}).status);
}

TEST(PduToolEncode, OptionsTextInUtf8AndWordsJoined) {
  // Cyrillic UTF-8 goes to UCS2; flash, validity period, status report and a
  // custom service centre land in their fields.
  Result r = RunTool({"encode", "--flash", "--vp", "11", "--report", "--smsc=+79001234567", "12345",
                      "\xD0\x9F\xD1\x80\xD0\xB8", "x"});
  ASSERT_EQ(kExitOk, r.status) << r.err;
  EXPECT_EQ("07919700214365F7310005812143F500180B0A041F0440043800200078\nAT+CMGS=21\n", r.out);
  // A character cp1251 lacks becomes "?"; a text that begins with an option
  // stays text when options are given.
  r = RunTool({"encode", "--vp=1", "12345", "#flash#\xE2\x82\xAC\xF0\x9F\x98\x80"});
  ASSERT_EQ(kExitOk, r.status) << r.err;
  tSMSDecode d;
  d.Decode("07919730071111F1" + r.out.substr(2, r.out.find('\n') - 2));
  // The euro sign is in cp1251 but has no septet: it is sent as 0x14.
  EXPECT_EQ("#flash#\xCB?", d.Text) << r.out;
  EXPECT_EQ(0x00, d.Dcs);
  EXPECT_EQ(1, d.VpByte);
}

TEST(PduToolEncode, BadInputIsRefusedWithAReason) {
  Result r = RunTool({"encode", "12a45", "hi"});
  EXPECT_EQ(kExitFailed, r.status);
  EXPECT_EQ("pdulink-pdu: Not Valid telephone number:12a45\n", r.err);
  r = RunTool({"encode", "--smsc", "xyz", "12345", "hi"});
  EXPECT_EQ(kExitFailed, r.status);
  EXPECT_EQ("pdulink-pdu: Invalid Custom SMSC\n", r.err);
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"encode", "--vp", "256", "1", "x"},
           {"encode", "--vp", "ab", "1", "x"},
           {"encode", "1", "x", "--vp"},
           {"encode", "--smsc", "", "1", "x"},
           {"encode", "12345"},
           {"decode", "--flash", kHello}}) {
    EXPECT_EQ(kExitUsage, RunTool(args).status) << args[1];
  }
}

TEST(PduToolEncode, MultipartPrintsEveryPart) {
  const std::string text(170, 'a');
  Result r = RunTool({"encode", "--multipart", "--ref", "66", "12345", text});
  ASSERT_EQ(kExitOk, r.status) << r.err;
  ASSERT_EQ(2, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
  const std::string first = r.out.substr(0, r.out.find('\n'));
  EXPECT_EQ(first.substr(0, 36), "0051000581" "2143F5" "0000A7A0" "050003420201");
  EXPECT_EQ(first.substr(first.size() - 12), " AT+CMGS=151");
  r = RunTool({"--json", "encode", "--multipart", "--ref16", "--ref=4660", "12345", text});
  ASSERT_EQ(kExitOk, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("{\"Part\":1,\"Parts\":2,\"Reference\":4660,\"Pdu\":\"0051000581"));
  EXPECT_NE(std::string::npos, r.out.find("\n{\"Part\":2,\"Parts\":2,"));
  // A text that fits: the one PDU plain encode gives, on one line.
  r = RunTool({"encode", "--multipart", "12345678901", "abc"});
  EXPECT_EQ("0011000B912143658709F10000A70361F118 AT+CMGS=17\n", r.out);
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"encode", "--ref", "1", "1", "x"},
           {"encode", "--multipart", "--ref", "256", "1", "x"},
           {"encode", "--multipart", "--ref16", "--ref", "65536", "1", "x"},
           {"decode", "--multipart", kHello}}) {
    EXPECT_EQ(kExitUsage, RunTool(args).status) << args[1];
  }
  r = RunTool({"encode", "--multipart", "1", std::string(153 * 255 + 1, 'x')});
  EXPECT_EQ(kExitFailed, r.status);
  EXPECT_EQ("pdulink-pdu: Message too long: 256 parts, MaxParts=255: not sent\n", r.err);
}

TEST(PduToolEncode, Utf8ToAnsi) {
  EXPECT_EQ("abc", Utf8ToAnsi("abc"));
  EXPECT_EQ("\xCF\xF0\xB8", Utf8ToAnsi("\xD0\x9F\xD1\x80\xD1\x91"));
  EXPECT_EQ("??a", Utf8ToAnsi("\xFF\xC3" "a"));             // broken bytes
  EXPECT_EQ("?", Utf8ToAnsi("\xF0\x9F\x98\x80"));       // beyond 16 bits
  EXPECT_EQ("?", Utf8ToAnsi("\xED\xA0\x80"));            // an encoded surrogate
}

}  // namespace
}  // namespace pdulink::pdutool
