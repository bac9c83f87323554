// A tiny SMS-DELIVER reader for the phone's tests, written apart from the
// phone's own packing so that the two check each other. Texts in the tests
// stick to letters, digits and blanks, whose GSM codes equal ASCII.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace phonetest {

struct DeliverPart {
  bool ok = false;
  std::string smsc, sender;  // "+digits" / digits / raw hex of an alphanumeric address
  int senderType = 0, dcs = 0;
  std::string timestamp;  // the seven octets in hex
  int reference = -1, total = 0, sequence = 0;  // from an 8-bit concatenation header
  std::string text;       // 7-bit as ASCII; UCS2 as UTF-16 code units, each one char16 in `units`
  std::u16string units;
};

inline std::vector<std::uint8_t> Octets(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string Digits(const std::vector<std::uint8_t>& o, std::size_t at, std::size_t count) {
  std::string d;
  for (std::size_t i = 0; i < count; ++i) {
    int nibble = (o.at(at + i / 2) >> (i % 2 ? 4 : 0)) & 0xF;
    d.push_back(static_cast<char>('0' + nibble));
  }
  return d;
}

inline DeliverPart ReadDeliver(const std::string& hex) {
  DeliverPart p;
  auto o = Octets(hex);
  try {
    std::size_t at = 0;
    std::size_t smscLen = o.at(at++);
    if (smscLen > 0) {
      int type = o.at(at);
      // Built in two steps: "+" + a temporary string makes GCC 12 at -O3 warn
      // about an overlapping copy that cannot happen (-Wrestrict).
      p.smsc = type == 0x91 ? "+" : "";
      p.smsc += Digits(o, at + 1, (smscLen - 1) * 2);
      if (!p.smsc.empty() && p.smsc.back() == '0' + 0xF) p.smsc.pop_back();
    }
    at += smscLen;
    int first = o.at(at++);
    if ((first & 3) != 0) return p;
    std::size_t oaLen = o.at(at++);
    p.senderType = o.at(at++);
    std::size_t oaOctets = (oaLen + 1) / 2;
    if (p.senderType == 0xD0) {
      for (std::size_t i = 0; i < oaOctets; ++i) {
        static const char* k = "0123456789ABCDEF";
        p.sender += k[o.at(at + i) >> 4];
        p.sender += k[o.at(at + i) & 15];
      }
    } else {
      p.sender = p.senderType == 0x91 ? "+" : "";
      p.sender += Digits(o, at, oaLen);
    }
    at += oaOctets;
    at += 1;  // PID
    p.dcs = o.at(at++);
    for (int i = 0; i < 7; ++i) {
      char buf[3];
      std::snprintf(buf, sizeof buf, "%02X", o.at(at++));
      p.timestamp += buf;
    }
    std::size_t udl = o.at(at++);
    std::size_t udStart = at;
    std::size_t headerOctets = 0;
    if (first & 0x40) {
      std::size_t udhl = o.at(at);
      headerOctets = udhl + 1;
      if (o.at(at + 1) == 0x00 && o.at(at + 2) == 3) {
        p.reference = o.at(at + 3);
        p.total = o.at(at + 4);
        p.sequence = o.at(at + 5);
      }
    }
    if ((p.dcs & 0x0C) == 0x08) {
      for (std::size_t i = udStart + headerOctets; i + 2 <= udStart + udl; i += 2)
        p.units.push_back(static_cast<char16_t>((o.at(i) << 8) | o.at(i + 1)));
      if (udStart + udl != o.size()) return p;
    } else {
      std::size_t skip = (headerOctets * 8 + 6) / 7;  // header plus fill bits, in septets
      for (std::size_t s = skip; s < udl; ++s) {
        std::size_t bit = (udStart) * 8 + s * 7;
        unsigned v = o.at(bit / 8) >> (bit % 8);
        if (bit % 8 > 1) v |= static_cast<unsigned>(o.at(bit / 8 + 1)) << (8 - bit % 8);
        p.text.push_back(static_cast<char>(v & 0x7F));
      }
      if (udStart + (udl * 7 + 7) / 8 != o.size()) return p;
    }
    p.ok = true;
  } catch (const std::exception&) {
    p.ok = false;
  }
  return p;
}

}  // namespace phonetest
