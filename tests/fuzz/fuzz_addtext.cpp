// AddText + ToHex of arbitrary text: the buffer limits hold, and the user
// data decodes back to what the tables promise.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codepage.h"
#include "gsm_alphabet.h"
#include "sms_decode.h"
#include "sms_msg.h"
#include "text_helpers.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// What the decoder must give back: the collapsed text through the tables.
std::string Expected(const std::string& text, unsigned count, bool ucs2) {
  std::string collapsed = pdulink::CollapseBlanks(text);
  if (ucs2) {
    return pdulink::WideToAnsi(pdulink::AnsiToWide(collapsed.substr(0, count / 2)));
  }
  std::string septets;
  for (char c : collapsed) {
    std::uint16_t code = pdulink::GsmEncodeTable[static_cast<unsigned char>(c)];
    if (code >> 8) septets.push_back(static_cast<char>(code >> 8));
    septets.push_back(static_cast<char>(code & 0x7F));
    if (septets.size() >= count) break;
  }
  septets.resize(count);
  return pdulink::GsmToAnsi(septets);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  pdulink::tSMSmsg m;
  m.Clear();
  unsigned count = m.AddText(text);
  std::string hex = m.ToHex();
  const bool ucs2 = pdulink::NeedsUcs2(text);

  Check(m.Length <= 140 && m.BitPos <= 7);
  Check(hex.size() % 2 == 0 && hex.size() <= 280);
  if (ucs2) {
    Check(count % 2 == 0 && count <= 140 && hex.size() == 2 * count);
  } else {
    Check(count <= 160 && hex.size() == 2 * ((count * 7 + 7) / 8));
  }
  // Bits past the last septet are zero.
  if (m.BitPos != 0) Check((m.Buffer[m.Length] >> m.BitPos) == 0);

  pdulink::tSMSDecode d;
  d.Decode("07912143658709F1040A810189674523" "00" + std::string(ucs2 ? "08" : "00") +
           "50609122227121" + pdulink::ByteToHex(count) + hex);
  Check(!d.HasError);
  Check(d.Text == Expected(text, count, ucs2));
  return 0;
}
