// Unicode texts for the opt-in UTF-8 files: strict UTF-8 decoding that names
// the first malformed byte, the byte-order marks of text files, and the
// choice between the GSM 7-bit alphabet (TS 23.038, default alphabet and
// extension table) and UCS2 for an outgoing text. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink {

// The outcome of a strict UTF-8 decode: the code points, or the byte offset
// of the first malformed sequence (truncated, overlong, an encoded
// surrogate, above U+10FFFF, or a stray byte).
struct Utf8Decoded {
  bool ok = true;
  std::size_t badOffset = 0;
  std::u32string chars;
};
Utf8Decoded DecodeUtf8(std::string_view bytes);

// One code point appended as UTF-8 (the caller passes valid scalar values).
void AppendUtf8(std::string& out, char32_t c);
std::string ToUtf8(std::u32string_view chars);
// Code points as UTF-16 units: surrogate pairs above the basic plane.
std::u16string ToUtf16(std::u32string_view chars);
// UTF-16 units to UTF-8: a surrogate pair gives its character, a lone
// surrogate U+FFFD.
std::string Utf16ToUtf8(std::u16string_view units);

// Byte-order marks an outgoing file may begin with.
enum class TextBom { None, Utf8, Utf16Le, Utf16Be };

// The text of a file as UTF-8, its byte-order mark removed and UTF-16
// converted; not ok when the bytes are malformed (badOffset counts from the
// file's first byte, the mark included). UTF-16 is malformed when a
// surrogate is unpaired or a unit is cut off at the end.
struct FileText {
  bool ok = true;
  std::size_t badOffset = 0;
  TextBom bom = TextBom::None;
  std::string utf8;
};
FileText DecodeFileText(std::string_view bytes);

// The septets of a text in the GSM 7-bit alphabet, an extension character
// as the escape septet 0x1B and its own; nothing when one character is in
// neither table (the text must then go as UCS2).
std::optional<std::string> ToGsmSeptets(std::u32string_view chars);

// Septets (one per byte, 0x00..0x7F) as UTF-8. An escape septet takes the
// extension table; one followed by a septet the table lacks shows that
// septet's default character (as TS 23.038 asks of a receiver); a final
// lone escape gives nothing.
std::string GsmSeptetsToUtf8(std::string_view septets);

// Octets as upper-case hex, two digits each (8-bit data shown as text).
std::string HexText(std::string_view octets);

// How an outgoing UTF-8 text goes out: septets when the GSM alphabet holds
// every character, otherwise UTF-16 units for UCS2.
struct OutgoingText {
  bool ok = true;            // false: malformed UTF-8 at badOffset
  std::size_t badOffset = 0;
  bool ucs2 = false;
  std::string septets;       // 7-bit: escape pairs included
  std::u16string units;      // UCS2: surrogate pairs included
};
OutgoingText ChooseCoding(std::string_view utf8);

// Septets cut into parts of at most perPart, never between an escape septet
// and its character. The offsets where parts begin, then the size; an empty
// text is one empty part.
std::vector<std::size_t> CutSeptets(std::string_view septets, unsigned perPart);

}  // namespace pdulink
