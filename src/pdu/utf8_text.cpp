#include "utf8_text.h"

#include <array>
#include <cstring>

#include "gsm_alphabet.h"

namespace pdulink {
namespace {

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Septet (or 0x1B << 8 | septet for the extension table) of a character;
// -1 when neither table holds it.
int GsmCodeOf(char32_t c) {
  static const std::array<std::int16_t, 0x100> kLatin = [] {
    std::array<std::int16_t, 0x100> t{};
    t.fill(-1);
    for (unsigned v = 0; v < 128; ++v)
      if (v != kGsmEscape && kGsmUnicode[v] < 0x100) t[kGsmUnicode[v]] = static_cast<std::int16_t>(v);
    for (unsigned v = 0; v < 128; ++v) {
      char16_t e = GsmExtensionUnicode(static_cast<std::uint8_t>(v));
      if (e != 0 && e < 0x100) t[e] = static_cast<std::int16_t>(kGsmEscape << 8 | v);
    }
    return t;
  }();
  if (c < 0x100) return kLatin[c];
  if (c == 0x20AC) return kGsmEscape << 8 | 0x65;
  for (unsigned v = 0x10; v <= 0x1A; ++v)  // the Greek capitals
    if (kGsmUnicode[v] == c) return static_cast<int>(v);
  return -1;
}

}  // namespace

Utf8Decoded DecodeUtf8(std::string_view bytes) {
  Utf8Decoded r;
  r.chars.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned b = p[i];
    if (b < 0x80) {
      r.chars.push_back(b);
      ++i;
      continue;
    }
    unsigned len;
    char32_t c;
    char32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, c = b & 0x07, min = 0x10000;
    } else {
      // A continuation byte on its own, C0/C1 (always overlong) or F5..FF.
      r.ok = false;
      r.badOffset = i;
      r.chars.clear();
      return r;
    }
    bool good = i + len <= n;
    for (unsigned k = 1; good && k < len; ++k) {
      const unsigned t = p[i + k];
      if ((t & 0xC0) != 0x80) good = false;
      else c = c << 6 | (t & 0x3F);
    }
    if (!good || c < min || c > 0x10FFFF || IsSurrogate(c)) {
      r.ok = false;
      r.badOffset = i;
      r.chars.clear();
      return r;
    }
    r.chars.push_back(c);
    i += len;
  }
  return r;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string ToUtf8(std::u32string_view chars) {
  std::string out;
  out.reserve(chars.size());
  for (char32_t c : chars) AppendUtf8(out, c);
  return out;
}

std::u16string ToUtf16(std::u32string_view chars) {
  std::u16string out;
  out.reserve(chars.size());
  for (char32_t c : chars) {
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | c >> 10));
      out.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (IsHigh(u) && i + 1 < units.size() && IsLow(units[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10 | (char32_t(units[i + 1]) - 0xDC00)));
      ++i;
    } else {
      AppendUtf8(out, IsSurrogate(u) ? char32_t(0xFFFD) : char32_t(u));
    }
  }
  return out;
}

FileText DecodeFileText(std::string_view bytes) {
  FileText r;
  auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  if (starts("\xEF\xBB\xBF")) {
    r.bom = TextBom::Utf8;
  } else if (starts("\xFF\xFE")) {
    r.bom = TextBom::Utf16Le;
  } else if (starts("\xFE\xFF")) {
    r.bom = TextBom::Utf16Be;
  }
  if (r.bom == TextBom::None || r.bom == TextBom::Utf8) {
    const std::size_t skip = r.bom == TextBom::Utf8 ? 3 : 0;
    const std::string_view body = bytes.substr(skip);
    Utf8Decoded d = DecodeUtf8(body);
    if (!d.ok) {
      r.ok = false;
      r.badOffset = skip + d.badOffset;
      return r;
    }
    r.utf8.assign(body);
    return r;
  }
  const bool le = r.bom == TextBom::Utf16Le;
  std::u32string chars;
  chars.reserve(bytes.size() / 2);
  auto unitAt = [&](std::size_t at) {
    const auto a = static_cast<unsigned char>(bytes[at]);
    const auto b = static_cast<unsigned char>(bytes[at + 1]);
    return static_cast<char16_t>(le ? (b << 8 | a) : (a << 8 | b));
  };
  for (std::size_t at = 2; at < bytes.size(); at += 2) {
    if (at + 1 >= bytes.size()) {  // half a unit at the end
      r.ok = false;
      r.badOffset = at;
      return r;
    }
    const char16_t u = unitAt(at);
    if (IsHigh(u) && at + 3 < bytes.size() && IsLow(unitAt(at + 2))) {
      chars.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10 | (char32_t(unitAt(at + 2)) - 0xDC00)));
      at += 2;
    } else if (IsHigh(u) || IsLow(u)) {
      r.ok = false;
      r.badOffset = at;
      return r;
    } else {
      chars.push_back(u);
    }
  }
  r.utf8 = ToUtf8(chars);
  return r;
}

std::optional<std::string> ToGsmSeptets(std::u32string_view chars) {
  std::string out;
  out.reserve(chars.size());
  for (char32_t c : chars) {
    const int code = GsmCodeOf(c);
    if (code < 0) return std::nullopt;
    if (code > 0xFF) out.push_back(static_cast<char>(kGsmEscape));
    out.push_back(static_cast<char>(code & 0x7F));
  }
  return out;
}

std::string GsmSeptetsToUtf8(std::string_view septets) {
  std::string out;
  out.reserve(septets.size());
  bool escaped = false;
  for (char ch : septets) {
    const auto s = static_cast<std::uint8_t>(ch & 0x7F);
    if (escaped) {
      escaped = false;
      const char16_t e = GsmExtensionUnicode(s);
      if (e != 0) {
        AppendUtf8(out, e);
        continue;
      }
    } else if (s == kGsmEscape) {
      escaped = true;
      continue;
    }
    AppendUtf8(out, kGsmUnicode[s]);
  }
  return out;
}

std::string HexText(std::string_view octets) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(octets.size() * 2);
  for (char c : octets) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

OutgoingText ChooseCoding(std::string_view utf8) {
  OutgoingText r;
  Utf8Decoded d = DecodeUtf8(utf8);
  if (!d.ok) {
    r.ok = false;
    r.badOffset = d.badOffset;
    return r;
  }
  if (std::optional<std::string> septets = ToGsmSeptets(d.chars)) {
    r.septets = std::move(*septets);
  } else {
    r.ucs2 = true;
    r.units = ToUtf16(d.chars);
  }
  return r;
}

std::vector<std::size_t> CutSeptets(std::string_view septets, unsigned perPart) {
  std::vector<std::size_t> cuts{0};
  std::size_t start = 0;
  while (septets.size() - start > perPart) {
    std::size_t end = start + perPart;
    // An escape septet last in the part goes to the next one with its
    // character. Only a real escape counts: one that ends a pair is not.
    // Most parts hold no escape at all.
    std::size_t k = std::memchr(septets.data() + start, kGsmEscape, perPart) == nullptr ? end : start;
    bool escapeLast = false;
    while (k < end) {
      if (static_cast<std::uint8_t>(septets[k]) == kGsmEscape) {
        if (k + 1 == end) {
          escapeLast = true;
          break;
        }
        k += 2;
      } else {
        ++k;
      }
    }
    if (escapeLast && perPart > 1) --end;
    cuts.push_back(end);
    start = end;
  }
  cuts.push_back(septets.size());
  return cuts;
}

}  // namespace pdulink
