// pdulink-pdu decode: the PDUs of the arguments, or of standard input line
// by line, each answered in turn.
#include <istream>
#include <ostream>

#include "pdu_tool.h"
#include "pdu_tool_commands.h"
#include "text_helpers.h"

namespace pdulink::pdutool {

int Decode(const Options& opt, const std::vector<std::string>& args, std::istream& in,
           std::ostream& out, std::ostream&) {
  bool anyFailed = false;
  int number = 0;
  int blocks = 0;  // readable blocks written, for the blank line between them
  auto one = [&](std::string_view pdu) {
    tSMSDecode d;
    d.Utf8 = opt.utf8;
    d.Decode(pdu);
    anyFailed = anyFailed || d.HasError;
    ++number;
    if (opt.json) {
      out << DecodeToJson(d) << '\n';
    } else {
      if (blocks++ > 0) out << '\n';
      out << "PDU " << number << '\n' << DecodeToText(d);
    }
  };
  if (!args.empty()) {
    for (const std::string& a : args) one(a);
  } else {
    // Standard input: the n-th output line (or block) answers the n-th input
    // line, so scripts can pair them. A blank line gets an error; dialogue
    // lines of a pasted listing get a "skipped" object in JSON and nothing
    // in the readable form.
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      number = lineNo - 1;
      const bool blank = TrimBlanks(line).empty();
      if (!blank && !IsNonPduLine(line)) {
        one(line);
      } else if (opt.json) {
        out << "{\"Line\":" << lineNo
            << (blank ? ",\"HasError\":true,\"ErrorText\":\"empty line\"}" : ",\"Skipped\":true}") << '\n';
      } else if (blank) {
        if (blocks++ > 0) out << '\n';
        out << "PDU " << lineNo << "\nError           empty line\n";
      }
    }
  }
  out.flush();
  return anyFailed ? kExitFailed : kExitOk;
}

bool IsNonPduLine(std::string_view line) {
  std::string_view t = TrimBlanks(line);
  if (t.empty() || t.front() == '+') return true;
  if (t == "OK" || t == "ERROR") return true;
  return t.size() >= 2 && (t[0] == 'A' || t[0] == 'a') && (t[1] == 'T' || t[1] == 't');
}

}  // namespace pdulink::pdutool
