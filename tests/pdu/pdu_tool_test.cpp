// pdulink-pdu run in-process: arguments, standard input, JSON, exit status.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pdulink::pdutool
