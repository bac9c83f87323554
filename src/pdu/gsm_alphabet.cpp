#include "gsm_alphabet.h"

#include <cstring>

namespace pdulink {
namespace {

constexpr bool IsIdentity(unsigned v) {
  return (v >= 0x20 && v <= 0x23) || (v >= 0x25 && v <= 0x3F) || (v >= 0x41 && v <= 0x5A) ||
         (v >= 0x61 && v <= 0x7A);
}

constexpr GsmDecodeTableType MakeDecode() {
  GsmDecodeTableType t{};
  for (unsigned v = 0; v < 128; ++v) t[v] = IsIdentity(v) ? std::uint8_t(v) : std::uint8_t('?');
  // Latin letters as their ISO 8859-1 codes; Greek capitals as Cyrillic
  // letters of like shape or sound, or "S" and "?".
  constexpr std::uint8_t low[32] = {
      0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC,  // @ £ $ ¥ è é ù ì
      0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,  // ò Ç LF Ø ø CR Å å
      0xC4, 0x5F, 0xD4, 0xC3, 0xCB, 0xCE, 0xEF, 0xD4,  // Δ _ Φ Γ Λ Ω Π Ψ
      0x53, 0x3F, 0x3F, 0x20, 0xC6, 0xE6, 0xDF, 0xC9,  // Σ Θ Ξ ESC Æ æ ß É
  };
  // 0x1B is the escape septet and never looked up here; should it be, it
  // shows as a blank, as TS 23.038 asks of receivers without the extension.
  for (unsigned v = 0; v < 32; ++v) t[v] = low[v];
  t[0x24] = 0xA4;  // ¤
  t[0x40] = 0xA1;  // ¡
  t[0x5B] = 0xC4;  // Ä
  t[0x5C] = 0xD6;  // Ö
  t[0x5D] = 0xD1;  // Ñ
  t[0x5E] = 0xDC;  // Ü
  t[0x5F] = 0xA7;  // §
  t[0x60] = 0x3F;  // ¿
  t[0x7B] = 0xE4;  // ä
  t[0x7C] = 0xF6;  // ö
  t[0x7D] = 0xF1;  // ñ
  t[0x7E] = 0xFC;  // ü
  t[0x7F] = 0xE0;  // à
  return t;
}

constexpr GsmEscapeTableType MakeEscape() {
  GsmEscapeTableType t{};
  for (auto& e : t) e = '?';
  t[0x0A] = 0x0C;  // form feed
  t[0x14] = '^';
  t[0x28] = '{';
  t[0x29] = '}';
  t[0x2F] = '\\';
  t[0x3C] = '[';
  t[0x3D] = '~';
  t[0x3E] = ']';
  t[0x40] = '|';
  t[0x65] = 0xA4;  // euro sign, shown as the currency sign
  return t;
}

constexpr GsmEncodeTableType MakeEncode() {
  GsmEncodeTableType t{};
  for (unsigned b = 0; b < 256; ++b) t[b] = IsIdentity(b) ? std::uint16_t(b) : std::uint16_t(0x0014);
  struct Entry {
    std::uint8_t byte;
    std::uint16_t code;
  };
  constexpr Entry entries[] = {
      {0x0A, 0x000A}, {0x0C, 0x1B0A}, {0x0D, 0x000D}, {0x24, 0x0002}, {0x40, 0x0000},
      {0x5B, 0x1B3C}, {0x5C, 0x1B2F}, {0x5D, 0x1B3E}, {0x5E, 0x1B14}, {0x5F, 0x0011},
      {0x60, 0x0027}, {0x7B, 0x1B28}, {0x7C, 0x1B40}, {0x7D, 0x1B29}, {0x7E, 0x1B3D},
      {0xA1, 0x0040}, {0xA3, 0x0001}, {0xA4, 0x0024}, {0xA5, 0x0003}, {0xA7, 0x005F},
      {0xBF, 0x0060}, {0xC4, 0x005B}, {0xC5, 0x000E}, {0xC6, 0x001C}, {0xC7, 0x0009},
      {0xC9, 0x001F}, {0xD1, 0x005D}, {0xD6, 0x005C}, {0xD8, 0x000B}, {0xDC, 0x005E},
      {0xDF, 0x001E}, {0xE0, 0x007F}, {0xE4, 0x007B}, {0xE5, 0x000F}, {0xE6, 0x001D},
      {0xE8, 0x0004}, {0xE9, 0x0005}, {0xEC, 0x0007}, {0xF1, 0x007D}, {0xF2, 0x0008},
      {0xF6, 0x007C}, {0xF8, 0x000C}, {0xF9, 0x0006}, {0xFC, 0x007E},
  };
  for (const Entry& e : entries) t[e.byte] = e.code;
  return t;
}

}  // namespace

constinit const GsmDecodeTableType GsmDecodeTable = MakeDecode();
constinit const GsmEscapeTableType GsmEscapeTable = MakeEscape();
constinit const GsmEncodeTableType GsmEncodeTable = MakeEncode();

constexpr std::array<std::uint8_t, 256> MakePlainSeptet(const GsmEncodeTableType& encode) {
  std::array<std::uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    t[b] = (b > 0x20 && (encode[b] >> 8) == 0) ? std::uint8_t(encode[b] & 0x7F) : std::uint8_t(0xFF);
  }
  return t;
}
constinit const std::array<std::uint8_t, 256> kGsmPlainSeptet = MakePlainSeptet(MakeEncode());

constexpr std::array<char16_t, 128> MakeUnicode() {
  std::array<char16_t, 128> t{};
  for (unsigned v = 0; v < 128; ++v) t[v] = char16_t(v);
  constexpr char16_t low[32] = {
      0x0040, 0x00A3, 0x0024, 0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC,  // @ £ $ ¥ è é ù ì
      0x00F2, 0x00C7, 0x000A, 0x00D8, 0x00F8, 0x000D, 0x00C5, 0x00E5,  // ò Ç LF Ø ø CR Å å
      0x0394, 0x005F, 0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8,  // Δ _ Φ Γ Λ Ω Π Ψ
      0x03A3, 0x0398, 0x039E, 0x0020, 0x00C6, 0x00E6, 0x00DF, 0x00C9,  // Σ Θ Ξ ESC Æ æ ß É
  };
  for (unsigned v = 0; v < 32; ++v) t[v] = low[v];
  t[0x24] = 0x00A4;  // ¤
  t[0x40] = 0x00A1;  // ¡
  t[0x5B] = 0x00C4;  // Ä
  t[0x5C] = 0x00D6;  // Ö
  t[0x5D] = 0x00D1;  // Ñ
  t[0x5E] = 0x00DC;  // Ü
  t[0x5F] = 0x00A7;  // §
  t[0x60] = 0x00BF;  // ¿
  t[0x7B] = 0x00E4;  // ä
  t[0x7C] = 0x00F6;  // ö
  t[0x7D] = 0x00F1;  // ñ
  t[0x7E] = 0x00FC;  // ü
  t[0x7F] = 0x00E0;  // à
  return t;
}
constinit const std::array<char16_t, 128> kGsmUnicode = MakeUnicode();

char16_t GsmExtensionUnicode(std::uint8_t septet) {
  switch (septet) {
    case 0x0A: return 0x000C;  // form feed
    case 0x14: return u'^';
    case 0x28: return u'{';
    case 0x29: return u'}';
    case 0x2F: return u'\\';
    case 0x3C: return u'[';
    case 0x3D: return u'~';
    case 0x3E: return u']';
    case 0x40: return u'|';
    case 0x65: return 0x20AC;  // euro sign
    default: return 0;
  }
}

void BuildGsmTables() {}

std::string GsmToAnsi(std::string_view septets) {
  std::string out;
  out.reserve(septets.size());
  bool escaped = false;
  for (char c : septets) {
    auto s = static_cast<unsigned char>(c);
    if (escaped) {
      out.push_back(static_cast<char>(GsmEscapeTable[s]));
      escaped = false;
    } else if (s == kGsmEscape) {
      escaped = true;
    } else if (s < 0x80) {
      out.push_back(static_cast<char>(GsmDecodeTable[s]));
    }
  }
  return out;
}

bool NeedsUcs2(std::string_view text) {
  // Plain ASCII is the common case: skip eight bytes at a time while none
  // of them has its top bit set.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  for (char c : text.substr(i)) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0xC0 || b == 0xA8 || b == 0xB8) return true;
  }
  return false;
}

}  // namespace pdulink
