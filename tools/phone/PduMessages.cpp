// The messages the simulated phone builds: SMS-DELIVER PDUs of a text (in
// concatenated parts when it is long) and SMS-STATUS-REPORT PDUs.
#include "Pdu.h"

#include <algorithm>

namespace pdulink::phone {
namespace {

constexpr unsigned kSeptetsSingle = 160;
constexpr unsigned kSeptetsPerPart = 153;
constexpr unsigned kUnitsSingle = 70;
constexpr unsigned kUnitsPerPart = 67;
constexpr unsigned kMaxParts = 255;

std::u16string ToUtf16(std::u32string_view text) {
  std::u16string out;
  for (char32_t c : text) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

// Splits septets into parts of at most `limit`, never between an escape and
// the code it introduces.
std::vector<Bytes> SplitSeptets(const Bytes& septets, unsigned limit) {
  std::vector<Bytes> parts;
  std::size_t i = 0;
  while (i < septets.size()) {
    std::size_t limitEnd = std::min(septets.size(), i + limit);
    std::size_t end = i;
    while (end < limitEnd) {
      std::size_t step = septets[end] == 0x1B ? 2 : 1;
      if (end + step > limitEnd) break;
      end += step;
    }
    if (end == i) end = limitEnd;  // a lone escape at the very end
    parts.emplace_back(septets.begin() + static_cast<long>(i), septets.begin() + static_cast<long>(end));
    i = end;
  }
  return parts;
}

std::vector<std::u16string> SplitUnits(const std::u16string& units, unsigned limit) {
  std::vector<std::u16string> parts;
  std::size_t i = 0;
  while (i < units.size()) {
    std::size_t end = std::min(units.size(), i + limit);
    if (end < units.size() && units[end - 1] >= 0xD800 && units[end - 1] <= 0xDBFF) --end;
    parts.push_back(units.substr(i, end - i));
    i = end;
  }
  return parts;
}

// The user data of a text's parts: the coding, whether they are
// concatenated, and each part as (user-data length, user data without
// header).
struct Bodies {
  bool gsm = false;
  bool concatenated = false;
  std::vector<std::pair<unsigned, Bytes>> parts;
};

Bodies SplitText(const std::u32string& text, bool forceUcs2) {
  Bodies bodies;
  Bytes septets;
  bodies.gsm = !forceUcs2 && ToGsmSeptets(text, septets);
  if (bodies.gsm) {
    bodies.concatenated = septets.size() > kSeptetsSingle;
    auto parts = bodies.concatenated ? SplitSeptets(septets, kSeptetsPerPart) : std::vector<Bytes>{septets};
    for (auto& p : parts) bodies.parts.emplace_back(static_cast<unsigned>(p.size()), p);
    return bodies;
  }
  std::u16string units = ToUtf16(text);
  bodies.concatenated = units.size() > kUnitsSingle;
  auto parts = bodies.concatenated ? SplitUnits(units, kUnitsPerPart) : std::vector<std::u16string>{units};
  for (auto& p : parts) {
    Bytes ud;
    for (char16_t u : p) {
      ud.push_back(static_cast<std::uint8_t>(u >> 8));
      ud.push_back(static_cast<std::uint8_t>(u & 0xFF));
    }
    bodies.parts.emplace_back(static_cast<unsigned>(ud.size()), ud);
  }
  return bodies;
}

std::uint8_t CodingScheme(bool gsm, int messageClass) {
  std::uint8_t dcs = gsm ? 0x00 : 0x08;
  if (messageClass >= 0 && messageClass <= 3) dcs = static_cast<std::uint8_t>(dcs | 0x10 | messageClass);
  return dcs;
}

// User-data length, header and body of one part.
void AppendUserData(Bytes& pdu, const Bytes& udh, unsigned length, const Bytes& body, bool gsm) {
  if (gsm) {
    unsigned headerBits = static_cast<unsigned>(udh.size()) * 8;
    unsigned fill = (7 - headerBits % 7) % 7;
    Bytes packed = PackSeptets(body, headerBits + fill);
    std::copy(udh.begin(), udh.end(), packed.begin());
    pdu.push_back(static_cast<std::uint8_t>((headerBits + fill) / 7 + length));
    pdu.insert(pdu.end(), packed.begin(), packed.end());
  } else {
    pdu.push_back(static_cast<std::uint8_t>(udh.size() + length));
    pdu.insert(pdu.end(), udh.begin(), udh.end());
    pdu.insert(pdu.end(), body.begin(), body.end());
  }
}

}  // namespace

bool BuildDeliver(const DeliverRequest& request, std::vector<Bytes>& pdus, std::string& error) {
  pdus.clear();
  std::u32string text;
  if (!DecodeUtf8(request.text, text)) {
    error = "text is not valid UTF-8";
    return false;
  }
  Bytes head;  // service-centre field; the rest is built per part
  if (!AppendSmscField(head, request.smsc, error)) return false;
  Bytes address;
  if (!AppendAddress(address, request.sender, error)) return false;

  const Bodies bodies = SplitText(text, request.forceUcs2);
  const std::uint8_t dcs = CodingScheme(bodies.gsm, request.messageClass);
  if (bodies.parts.size() > kMaxParts) {
    error = "text needs more than 255 parts";
    return false;
  }

  for (std::size_t i = 0; i < bodies.parts.size(); ++i) {
    Bytes pdu = head;
    pdu.push_back(bodies.concatenated ? 0x44 : 0x04);  // SMS-DELIVER, no more messages, UDHI
    pdu.insert(pdu.end(), address.begin(), address.end());
    pdu.push_back(0x00);  // protocol identifier
    pdu.push_back(dcs);
    AppendTimestamp(pdu, request.time);
    Bytes udh;
    if (bodies.concatenated) {
      // IEI 00: concatenated message, 8-bit reference (TS 23.040 9.2.3.24.1).
      udh = {0x05, 0x00, 0x03, static_cast<std::uint8_t>(request.reference & 0xFF),
             static_cast<std::uint8_t>(bodies.parts.size()), static_cast<std::uint8_t>(i + 1)};
    }
    const auto& [length, body] = bodies.parts[i];
    AppendUserData(pdu, udh, length, body, bodies.gsm);
    pdus.push_back(std::move(pdu));
  }
  return true;
}

bool BuildStatusReport(std::string_view smsc, int messageReference, std::string_view recipient,
                       int status, const Timestamp& time, Bytes& pdu, std::string& error) {
  pdu.clear();
  if (messageReference < 0 || messageReference > 255) {
    error = "message reference must be 0..255";
    return false;
  }
  if (status < 0 || status > 255) {
    error = "status must be 0..255";
    return false;
  }
  if (!AppendSmscField(pdu, smsc, error)) return false;
  pdu.push_back(0x06);  // SMS-STATUS-REPORT, no more messages
  pdu.push_back(static_cast<std::uint8_t>(messageReference));
  if (!AppendAddress(pdu, recipient, error)) return false;
  AppendTimestamp(pdu, time);  // when the centre took the message
  AppendTimestamp(pdu, time);  // discharge time
  pdu.push_back(static_cast<std::uint8_t>(status));
  return true;
}

}  // namespace pdulink::phone
