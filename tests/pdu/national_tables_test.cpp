// The national language shift tables against their transcription from
// TS 23.038 Annex A (tests/pdu/data/national_tables.txt), and received
// messages whose header names them (IEI 0x24, 0x25), decoded to the right
// text. The PDUs were packed by hand from the transcribed tables.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "national_tables.h"
#include "sms_decode.h"

namespace pdulink {
namespace {

using Entry = std::tuple<unsigned, bool, unsigned>;  // language, locking, septet

std::map<Entry, char16_t> ReadTranscription() {
  std::map<Entry, char16_t> out;
  std::ifstream in(PDULINK_TEST_DATA "/national_tables.txt");
  EXPECT_TRUE(in.good());
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string code, kind, septet, point;
    fields >> code >> kind >> septet >> point;
    const std::optional<unsigned> language = NationalLanguageByName(code);
    EXPECT_TRUE(language.has_value()) << line;
    if (!language) continue;
    out[{*language, kind == "locking", std::stoul(septet, nullptr, 16)}] =
        static_cast<char16_t>(std::stoul(point.substr(2), nullptr, 16));
  }
  return out;
}

TEST(NationalTables, MatchTheTranscriptionBothWays) {
  const std::map<Entry, char16_t> listed = ReadTranscription();
  ASSERT_GT(listed.size(), 2000u);
  // Every transcribed entry is in the tables ...
  for (const auto& [entry, c] : listed) {
    const auto [language, locking, septet] = entry;
    SCOPED_TRACE(testing::Message() << NationalLanguageCode(language) << (locking ? " locking " : " single ")
                                    << std::hex << septet);
    EXPECT_EQ(c, locking ? LockingShiftChar(language, septet) : SingleShiftChar(language, septet));
    // ... and encodes back to its septet, or to an earlier one holding the
    // same character.
    const int back = locking ? LockingShiftSeptet(language, c) : SingleShiftSeptet(language, c);
    ASSERT_GE(back, 0);
    EXPECT_LE(unsigned(back), septet);
  }
  // ... and every entry of the tables is transcribed.
  for (unsigned language = 1; language < kNationalLanguageCount; ++language) {
    for (unsigned septet = 0; septet < 128; ++septet) {
      if (HasLockingShift(language) && LockingShiftChar(language, septet) != 0) {
        EXPECT_TRUE(listed.count({language, true, septet})) << language << " locking " << septet;
      }
      if (SingleShiftChar(language, septet) != 0) {
        EXPECT_TRUE(listed.count({language, false, septet})) << language << " single " << septet;
      }
    }
  }
  EXPECT_FALSE(HasLockingShift(unsigned(NationalLanguage::Spanish)));
  EXPECT_FALSE(HasSingleShift(14));
}

TEST(NationalTables, ShiftListNamesCodesAndRefusals) {
  ShiftList l = ParseShiftList("tr, ES portuguese,tr hi");
  EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 3, 6}), l.languages);
  EXPECT_EQ("", l.badName);
  EXPECT_EQ("tr,es,pt,hi", ShiftListText(l.languages));
  l = ParseShiftList("tr,klingon");
  EXPECT_TRUE(l.languages.empty());
  EXPECT_EQ("klingon", l.badName);
  EXPECT_TRUE(ParseShiftList("").languages.empty());
}

struct Received {
  const char* name;
  const char* pdu;
  std::uint8_t locking;
  std::uint8_t single;
  const char* utf8;
};

TEST(NationalTables, ReceivedMessagesReadWithTheTablesTheHeaderNames) {
  const Received cases[] = {
      {"Turkish single shift",
       "07919730071111F1440B919720771154F50000621080310400212303240101A09637F3F27AED97B3CB72166893DE9CC99BB41CB499A63773761A",
       0, 1, "Teşekkürler, ığdır Şişli"},
      {"Turkish locking shift",
       "07919730071111F1440B919720771154F50000621080310400211D03250101A0963BE5F5DA2F6797E52CD081413EC8419C74879D06", 1,
       0, "Teşekkürler, ığdır Şişli"},
      {"Portuguese, both elements",
       "07919730071111F1440B919720771154F50000621080310400212606240103250103417AD99DD8BF7520F7FE0D2A80E0EFF9FC602FB3411BD47BBD4901",
       3, 3, "Atenção: não é possível {ok}"},
      {"Hindi, both elements",
       "07919730071111F1440B919720771154F500006210803104002117062401062501062F21F37BCA8256D3577408DD6400", 6, 6,
       "नमस्ते दुनिया।"},
  };
  for (const Received& c : cases) {
    SCOPED_TRACE(c.name);
    tSMSDecode d;
    d.Utf8 = true;
    d.Decode(c.pdu);
    ASSERT_FALSE(d.HasError) << d.ErrorText;
    EXPECT_EQ(c.locking, d.LockingShift);
    EXPECT_EQ(c.single, d.SingleShift);
    EXPECT_EQ(c.utf8, d.Text);
  }
  // In cp1251 the letters cp1251 lacks show as "?", the rest as before.
  tSMSDecode d;
  d.Decode(cases[0].pdu);
  EXPECT_EQ("Te?ekk\xFCrler, ??d?r ?i?li", d.Text);
  d.Decode(cases[2].pdu);
  EXPECT_EQ("Aten??o: n?o \xE9 poss?vel {ok}", d.Text);
}

TEST(NationalTables, UnknownLanguageKeepsTheDefaultTables) {
  // Locking shift element naming language 0x0E (none): the default alphabet.
  tSMSDecode d;
  d.Utf8 = true;
  d.Decode("07919730071111F1440B919720771154F50000621080310400210A0325010E4086D9EC37");
  ASSERT_FALSE(d.HasError) << d.ErrorText;
  EXPECT_EQ(0, d.LockingShift);
  EXPECT_EQ("Hallo", d.Text);
}

}  // namespace
}  // namespace pdulink
