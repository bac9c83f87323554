// The commands of pdulink-pdu and the options they share; pdu_tool.cpp
// reads the command line and runs one of them.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace pdulink::pdutool {

struct Options {
  bool json = false;
  bool utf8 = false;  // decode: full texts in UTF-8; encode: UTF-8 rules
  // encode only
  bool flash = false;
  bool report = false;
  std::optional<std::string> vp;
  std::optional<std::string> smsc;
  bool multipart = false;
  bool ref16 = false;
  std::optional<std::string> ref;
  std::optional<std::string> shift;
  bool EncodeOnly() const { return flash || report || vp || smsc || multipart || ref16 || ref || shift; }
};

using Command = int (*)(const Options&, const std::vector<std::string>&, std::istream&,
                        std::ostream&, std::ostream&);

// decode [HEX...]: the PDUs of the arguments, or of standard input.
int Decode(const Options& opt, const std::vector<std::string>& args, std::istream& in,
           std::ostream& out, std::ostream& err);
// encode NUMBER TEXT: the SMS-SUBMIT PDU (or parts) pdulink sends.
int Encode(const Options& opt, const std::vector<std::string>& args, std::istream& in,
           std::ostream& out, std::ostream& err);

}  // namespace pdulink::pdutool
