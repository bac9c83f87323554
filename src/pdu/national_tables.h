// National language shift tables of the GSM 7-bit alphabet (3GPP TS 23.038
// 6.2.1.2 and Annex A), signalled in a user-data header by the single shift
// (IEI 0x24) and locking shift (IEI 0x25) elements of TS 23.040
// 9.2.3.24.15/16. Language 0 is the default alphabet and its extension
// table. Pure, constant data: safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink {

// The national language identifiers of TS 23.038 6.2.1.2.4.
enum class NationalLanguage : std::uint8_t {
  Default = 0,
  Turkish = 1,
  Spanish = 2,
  Portuguese = 3,
  Bengali = 4,
  Gujarati = 5,
  Hindi = 6,
  Kannada = 7,
  Malayalam = 8,
  Oriya = 9,
  Punjabi = 10,
  Tamil = 11,
  Telugu = 12,
  Urdu = 13,
};
inline constexpr unsigned kNationalLanguageCount = 14;

// Information element identifiers (TS 23.040 9.2.3.24.15/16).
inline constexpr std::uint8_t kIeiSingleShift = 0x24;
inline constexpr std::uint8_t kIeiLockingShift = 0x25;

// The two tables a 7-bit text is read or written with: the locking shift
// table stands in for the default alphabet, the single shift table for the
// extension table (the septet after an escape).
struct ShiftTables {
  std::uint8_t locking = 0;
  std::uint8_t single = 0;
  bool operator==(const ShiftTables&) const = default;
};

// True when TS 23.038 defines a locking shift table for the language
// (Spanish has only a single shift table; unknown identifiers have none).
bool HasLockingShift(unsigned language);
// True for a known language identifier (every one has a single shift table).
bool HasSingleShift(unsigned language);

// The character of `septet` (0..0x7F) in the language's locking shift
// table, or in its single shift table; 0 when the table has none there (the
// escape septet 0x1B included). A language without that table reads with
// the default alphabet or the extension table.
char16_t LockingShiftChar(unsigned language, unsigned septet);
char16_t SingleShiftChar(unsigned language, unsigned septet);

// The septet of `c` in the language's locking shift table, or in its single
// shift table (to follow an escape); -1 when the table lacks it.
int LockingShiftSeptet(unsigned language, char32_t c);
int SingleShiftSeptet(unsigned language, char32_t c);

// Short codes as ShiftTables= lists them ("tr", "es", "pt", "bn", "gu",
// "hi", "kn", "ml", "or", "pa", "ta", "te", "ur"); the English names
// ("turkish") are accepted too, without regard to case.
std::string_view NationalLanguageCode(unsigned language);
std::optional<unsigned> NationalLanguageByName(std::string_view name);

// A ShiftTables= value: names separated by commas or blanks. The languages
// in order without repeats, or the first name that is not one.
struct ShiftList {
  std::vector<std::uint8_t> languages;
  std::string badName;  // empty: every name was known
};
ShiftList ParseShiftList(std::string_view value);
// The list written back as codes ("tr,es").
std::string ShiftListText(const std::vector<std::uint8_t>& languages);

// Septets (one per byte, 0x00..0x7F) read with `tables`, as UTF-8: an
// escape takes the single shift table, and one followed by a septet that
// table lacks shows that septet's locking-table character; a final lone
// escape gives nothing; a septet the locking table lacks shows as a blank.
std::string ShiftedSeptetsToUtf8(std::string_view septets, ShiftTables tables);
// The same as cp1251 text ("?" for a character cp1251 lacks); a character
// the default tables share at the same septet shows as the default-alphabet
// decoder shows it.
std::string ShiftedSeptetsToAnsi(std::string_view septets, ShiftTables tables);

}  // namespace pdulink
