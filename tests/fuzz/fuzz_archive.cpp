// Archive formatting of whatever the decoder accepts: never crashes, the
// XML values hold no character that could end or break an attribute, and
// the text file and the collective line hold the view lines unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sms_archive.h"
#include "sms_decode.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// An escaped value: no quote, no markup, no bare "&", no control character
// that XML 1.0 cannot hold.
bool SafeValue(const std::string& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    auto c = static_cast<unsigned char>(v[i]);
    if (c == '"' || c == '<' || c == '>') return false;
    if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') return false;
    if (c == '&') {
      size_t semi = v.find(';', i);
      if (semi == std::string::npos || semi - i > 5) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pdulink::tSMSDecode d;
  d.Decode(std::string(reinterpret_cast<const char*>(data), size));
  if (d.HasError) return 0;
  pdulink::ArchiveReport r = pdulink::BuildArchiveReport(d);
  Check(!r.attributes.empty() && r.attributes[0] == "<SMS");
  for (size_t i = 1; i < r.attributes.size(); ++i) {
    const std::string& line = r.attributes[i];
    size_t open = line.find("=\"");
    Check(open != std::string::npos && line.back() == '"');
    Check(SafeValue(line.substr(open + 2, line.size() - open - 3)));
  }
  Check(SafeValue(r.escapedBody));
  Check(r.view.size() >= 3);
  const std::string xml = pdulink::ArchiveXmlBytes(r);
  Check(xml.size() >= 2 && xml[0] == '\xFF' && xml[1] == '\xFE' && xml.size() % 2 == 0);
  std::string txt = pdulink::ArchiveTxtBytes(r.view);
  std::string joined;
  for (const auto& l : r.view) joined += l + "\r\n";
  Check(txt == joined);
  pdulink::ApplyDosCodepage(r.view);
  Check(pdulink::CollectiveLine("t", r.view).size() >= 3);
  return 0;
}
