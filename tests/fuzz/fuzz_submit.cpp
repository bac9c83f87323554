// SMS-SUBMIT assembly of an arbitrary first line of an outgoing file (the
// number, then the body with send options): nothing but a PDU or a refusal
// comes out, and a PDU decodes back to its number and choices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gsm_alphabet.h"
#include "sms_concat.h"
#include "sms_decode.h"
#include "sms_submit.h"
#include "text_helpers.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsHex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool tables = (pdulink::BuildGsmTables(), true);
  (void)tables;
  if (size < 2) return 0;
  // First byte: the choices; then the number up to the first blank, then
  // the body.
  const std::uint8_t flags = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t blank = rest.find(' ');
  const std::string number = rest.substr(0, blank);
  const std::string body = blank == std::string::npos ? std::string() : rest.substr(blank + 1);

  if (flags & 4) {
    // A UTF-8 body with national shift tables, in as many parts as it
    // takes: every part decodes, and the parts read back give the body.
    pdulink::SubmitChoices u;
    u.utf8Body = true;
    u.shiftTables = {1, 2, 3, 6, 13};
    const pdulink::ConcatSubmit s =
        pdulink::AssembleConcatSubmit(number, body, u, {true, 255, (flags & 8) != 0}, 0x1234);
    if (!s.ok()) return 0;
    std::string joined;
    for (const pdulink::SubmitPart& part : s.parts) {
      pdulink::tSMSDecode d;
      d.Utf8 = true;
      d.Decode("07919730071111F1" + part.pduHex.substr(s.base.smscField.size()));
      Check(!d.HasError);
      Check(part.userDataLength <= 160);
      joined += d.Text;
    }
    Check(joined == pdulink::CollapseBlanks(s.base.body));
    return 0;
  }
  pdulink::SubmitChoices c;
  c.sendOptions = flags & 1;
  c.statusReport = flags & 2;
  c.stored.value = static_cast<std::uint8_t>(flags);
  pdulink::SubmitPdu p = pdulink::AssembleSubmit(number, body, c);
  Check(!p.journal.empty());
  if (!p.ok) {
    Check(p.pduHex.empty());
    return 0;
  }
  Check(p.pduHex.size() % 2 == 0 && IsHex(p.pduHex));
  Check(p.pduHex.compare(0, p.smscField.size(), p.smscField) == 0);
  Check(p.cmgsLength == static_cast<int>((p.pduHex.size() - p.smscField.size()) / 2));
  // Up to 255 digits (leading zeros count) can reach the address field.
  Check(p.userDataLength <= 160 && p.cmgsLength <= 4 + 128 + 4 + 140);
  Check(p.journal.back() == "Relative Validity Period=" + std::to_string(p.validityPeriod));

  // The service-centre field counts its own octets; the decoder reads the
  // rest behind an international one (it refuses a national service centre).
  Check(std::stoul(p.smscField.substr(0, 2), nullptr, 16) * 2 + 2 == p.smscField.size());
  std::string hex = "07919730071111F1" + p.pduHex.substr(p.smscField.size());
  pdulink::tSMSDecode d;
  d.Decode(hex);
  Check(!d.HasError);
  Check(d.Mti == 1 && d.VpByte == p.validityPeriod && d.Dcs == p.dataCoding);
  Check(((d.FirstOctet & 0x20) != 0) == c.statusReport);
  return 0;
}
