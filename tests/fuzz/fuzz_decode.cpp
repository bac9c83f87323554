// Decode of arbitrary bytes: never crashes, never reads outside the input,
// and always ends with consistent fields or an error text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pdu_tool.h"
#include "sms_decode.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  pdulink::tSMSDecode d;
  d.Decode(input);

  Check(d.HasError == !d.ErrorText.empty());
  Check(d.OctetCount >= 0 && d.OctetIndex >= 0 && d.OctetIndex <= d.OctetCount);
  Check(d.BitIndex >= 0 && d.BitIndex <= 7);
  Check(d.Hex.size() == static_cast<std::size_t>(d.OctetCount) * 2);
  Check(d.Text.size() <= 255);
  Check(d.Address.size() <= 255);
  Check(d.HeaderHex.size() % 2 == 0 && d.HeaderHex.size() <= 2u * d.Udhl);
  Check(d.Mti == (d.FirstOctet & 3));
  if (!d.HasError && d.Mti <= 1) Check(d.Coding == (d.Dcs & 0x0C) && d.Coding != 0x0C);

  // The same input decodes the same way on a used decoder.
  std::string firstText = d.Text;
  std::string firstError = d.ErrorText;
  d.Decode(input);
  Check(d.Text == firstText && d.ErrorText == firstError);

  // The JSON line stays one line whatever the texts hold.
  std::string json = pdulink::pdutool::DecodeToJson(d);
  for (char c : json) Check(static_cast<unsigned char>(c) >= 0x20);
  Check(json.front() == '{' && json.back() == '}');
  pdulink::pdutool::DecodeToText(d);
  return 0;
}
