#include "codepage.h"

#include <array>
#include <cstdint>

namespace pdulink {
namespace {

// Upper halves (0x80..0xFF) of the two code pages as UTF-16. 0x98 is unused
// in cp1251; it maps to U+0098 as the Windows converter does, so it survives
// a round trip.
constexpr std::array<char16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

constexpr std::array<char16_t, 128> kCp866High = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

// cp1251 upper half straight to cp866, "?" where cp866 has no such letter.
constexpr std::array<unsigned char, 128> MakeAnsiToOem() {
  std::array<unsigned char, 128> out{};
  for (std::size_t i = 0; i < 128; ++i) {
    out[i] = '?';
    for (std::size_t j = 0; j < 128; ++j) {
      if (kCp866High[j] == kCp1251High[i]) {
        out[i] = static_cast<unsigned char>(0x80 + j);
        break;
      }
    }
  }
  return out;
}
constexpr std::array<unsigned char, 128> kAnsiToOem = MakeAnsiToOem();

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

constinit const std::array<char16_t, 128> kCp1251HighHalf = kCp1251High;

int UnicodeToCp1251(char16_t unit) {
  if (unit < 0x80) return unit;
  // The 64 letters А..я are contiguous in both; everything else is rare.
  if (unit >= 0x0410 && unit <= 0x044F) return unit - 0x0410 + 0xC0;
  for (std::size_t i = 0; i < 64; ++i) {
    if (kCp1251High[i] == unit) return static_cast<int>(0x80 + i);
  }
  return -1;
}

namespace {

// Every cp1251 byte as its UTF-16 unit: one look-up, no branch.
constexpr std::array<char16_t, 256> MakeCp1251Units() {
  std::array<char16_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) t[b] = b < 0x80 ? char16_t(b) : kCp1251High[b - 0x80];
  return t;
}
constinit const std::array<char16_t, 256> kCp1251Units = MakeCp1251Units();

}  // namespace

std::u16string AnsiToWide(std::string_view text, int codePage) {
  std::u16string out;
  out.resize(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  if (codePage == kCp1251) {
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = kCp1251Units[p[i]];
  } else {
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = char16_t(p[i]);
  }
  return out;
}

std::string WideToAnsi(std::u16string_view wide, int codePage) {
  std::string out(wide.size(), '\0');
  char* o = out.data();
  std::size_t n = 0;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char16_t u = wide[i];
    if (IsHighSurrogate(u) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
      o[n++] = '?';  // one character outside the BMP
      ++i;
      continue;
    }
    int b = codePage == kCp1251 ? UnicodeToCp1251(u) : (u < 0x100 ? int(u) : -1);
    o[n++] = b < 0 ? '?' : static_cast<char>(b);
  }
  out.resize(n);
  return out;
}

std::string AnsiToOem(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x80) c = static_cast<char>(kAnsiToOem[b - 0x80]);
  }
  return out;
}

std::string AnsiToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) AppendUtf8(out, Cp1251ToUnicode(static_cast<unsigned char>(c)));
  return out;
}

std::string WideToUtf8(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size() * 2);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char16_t u = wide[i];
    if (IsHighSurrogate(u) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
      char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(wide[i + 1]) - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

}  // namespace pdulink
