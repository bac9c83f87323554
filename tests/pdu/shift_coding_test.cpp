// Sending with national language shift tables (ShiftTables=): pinned PDUs
// packed by hand from the transcribed tables of TS 23.038 Annex A, the
// choice of coding at its boundaries, the default path unchanged, and a
// long Turkish message cut and read back.
#include <gtest/gtest.h>

#include "national_tables.h"
#include "shift_coding.h"
#include "sms_concat.h"
#include "sms_decode.h"

namespace pdulink {
namespace {

constexpr std::uint8_t kTr = 1, kPt = 3, kHi = 6;

ConcatSubmit Send(std::string_view body, std::vector<std::uint8_t> shift, bool concat = false, int maxParts = 6) {
  SubmitChoices c;
  c.utf8Body = true;
  c.shiftTables = std::move(shift);
  return AssembleConcatSubmit("+79270711545", body, c, {concat, maxParts, false}, 0x42);
}

std::string Repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ShiftSending, PinnedPdusPackedFromTheStandardsTables) {
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::uint8_t> shift;
    const char* pdu;
  } cases[] = {
      {"no shift element needed", "Hallo", {kTr}, "0011000B919772701145F50000A705C8309BFD06"},
      {"Turkish single shift", "Teşekkürler, ığdır Şişli", {kTr},
       "0051000B919772701145F50000A72303240101A09637F3F27AED97B3CB72166893DE9CC99BB41CB499A63773761A"},
      {"Turkish locking shift: single shift would not fit", Repeat("ışığı şüşe ", 12), {kTr},
       "0051000B919772701145F50000A7880325010138740E8C03A8E3EF944187CE81710075FC9D32E8D039300EA08EBF53061D3A07C601"
       "D4F177CAA043E7C038803AFE4E1974E81C180750C7DF29830E9D03E300EAF83B65D0A173601C401D7FA70C3A740E8C03A8E3EF944187"
       "CE81710075FC9D32E8D039300EA08EBF53061D3A07C601D4F177CA"},
      {"Portuguese single shift", "Atenção: não é possível", {kTr, kPt},
       "0051000B919772701145F50000A7200324010308D2CBEE4D62B37FEB40EECDFE0D2A80E0EFF97C93B697D9"},
      {"Hindi locking and single shift", "नमस्ते दुनिया।", {kHi},
       "0051000B919772701145F50000A717062401062501062F21F37BCA8256D3577408DD6400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConcatSubmit s = Send(c.body, c.shift);
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(1u, s.parts.size());
    EXPECT_EQ(c.pdu, s.parts[0].pduHex);
    EXPECT_EQ(c.pdu, s.base.pduHex);
    EXPECT_EQ(static_cast<int>(std::string_view(c.pdu).size() / 2 - 1), s.parts[0].cmgsLength);
  }
}

TEST(ShiftSending, WithoutTheKeyOrWithoutNeedEveryPduStaysAsItWas) {
  for (const std::string& body : {std::string("Hallo {world} \xE2\x82\xAC 12"), Repeat("plain text ", 40),
                                  std::string("Teşekkürler")}) {
    for (bool concat : {false, true}) {
      const ConcatSubmit before = Send(body, {}, concat);
      const ConcatSubmit tr = Send(body, {kTr, kHi}, concat);
      const bool needsShift = body.find("ş") != std::string::npos;
      ASSERT_EQ(before.parts.size(), needsShift ? 1u : tr.parts.size());
      if (needsShift) {
        EXPECT_NE(before.parts[0].pduHex, tr.parts[0].pduHex);  // UCS2 before, single shift now
        continue;
      }
      for (std::size_t i = 0; i < before.parts.size(); ++i) EXPECT_EQ(before.parts[i].pduHex, tr.parts[i].pduHex);
    }
  }
}

TEST(ShiftSending, CodingChoiceAtTheBoundaries) {
  auto plan = [](const std::u32string& text, std::vector<std::uint8_t> shift) {
    return PlanShiftedText(text, shift, false);
  };
  const std::u32string a = U"a";
  auto rep = [](std::u32string_view s, int n) {
    std::u32string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  // 155 septets with the single shift element (one "ş" of two septets):
  // one message in single shift; one more letter fits only with locking
  // shift; one more again needs two parts.
  ShiftPlan p = plan(U"ş" + rep(a, 153), {kTr});
  ASSERT_EQ(1u, p.parts.size());
  EXPECT_EQ((ShiftTables{0, kTr}), p.parts[0].tables);
  p = plan(U"ş" + rep(a, 154), {kTr});
  ASSERT_EQ(1u, p.parts.size());
  EXPECT_EQ((ShiftTables{kTr, 0}), p.parts[0].tables);
  p = plan(U"ş" + rep(a, 155), {kTr});
  EXPECT_EQ(2, p.partsNeeded);
  EXPECT_FALSE(p.ucs2);
  // Both elements: 152 septets in one message.
  p = plan(U"नमस्ते।" + rep(a, 152 - 8), {kHi});
  ASSERT_EQ(1u, p.parts.size());
  EXPECT_EQ((ShiftTables{kHi, kHi}), p.parts[0].tables);
  EXPECT_EQ(2, plan(U"नमस्ते।" + rep(a, 152 - 7), {kHi}).partsNeeded);
  // Hindi digits (single shift only, two septets each): 70 fit one message
  // as UCS2 would; 78 take two parts either way: the 7-bit coding wins ties.
  p = plan(rep(U"०", 70), {kHi});
  EXPECT_EQ(1, p.partsNeeded);
  EXPECT_FALSE(p.ucs2);
  p = plan(rep(U"०", 78), {kHi});
  EXPECT_EQ(2, p.partsNeeded);
  ASSERT_EQ(2u, p.parts.size());
  EXPECT_EQ(2u * 74, p.parts[0].septets.size());
  // A character no listed table holds: UCS2, as without the key.
  p = plan(U"şж", {kTr});
  EXPECT_TRUE(p.ucs2);
  EXPECT_FALSE(p.shifted);
  EXPECT_EQ(1, p.partsNeeded);
  // Listed but not helping (Spanish for a Turkish text), or no language at
  // all: UCS2.
  EXPECT_TRUE(plan(U"ş", {2}).ucs2);
  EXPECT_TRUE(plan(U"ş", {0, 14, 200}).ucs2);
  // The window's counter says the same.
  EXPECT_EQ(1, CountParts("Teşekkürler", false, true, {kTr}).parts);
  EXPECT_FALSE(CountParts("Teşekkürler", false, true, {kTr}).ucs2);
  EXPECT_TRUE(CountParts("Teşekkürler", false, true).ucs2);
  EXPECT_EQ(3, CountParts(Repeat("ş", 155), false, true).parts);
  EXPECT_EQ(1, CountParts(Repeat("ş", 155), false, true, {kTr}).parts);
}

TEST(ShiftSending, LongTurkishMessageCutAndReadBack) {
  const std::string body = Repeat("Türkçe kısa mesajlar için şişli ığdır özel karakterler: ĞÜŞİÖÇ {€}. ", 7);
  const ConcatSubmit s = Send(body, {kTr}, true);
  ASSERT_TRUE(s.ok());
  ASSERT_GE(s.parts.size(), 2u);
  EXPECT_LT(s.parts.size(), static_cast<std::size_t>(CountParts(body, false, true).parts));  // fewer than UCS2
  std::string joined;
  for (const SubmitPart& p : s.parts) {
    tSMSDecode d;
    d.Utf8 = true;
    d.Decode("07919730071111F1" + p.pduHex.substr(2));
    ASSERT_FALSE(d.HasError) << d.ErrorText;
    EXPECT_TRUE(d.IsConcatenated);
    EXPECT_EQ(0x42, d.ConcatRef);
    EXPECT_EQ(p.seq, d.ConcatPart);
    EXPECT_EQ(static_cast<int>(s.parts.size()), d.ConcatTotal);
    EXPECT_NE(0, d.SingleShift + d.LockingShift);
    EXPECT_LE(d.Udl + (d.Udhl + 1) * 8 / 7, 160);
    joined += d.Text;
  }
  // Trimmed; an escape pair cut in two (the euro sign, braces) would not
  // read back.
  EXPECT_EQ(body.substr(0, body.size() - 1), joined);
  // More parts than allowed: refused as any long message.
  const ConcatSubmit refused = Send(body, {kTr}, true, 2);
  EXPECT_TRUE(refused.tooManyParts);
  EXPECT_TRUE(refused.parts.empty());
}

}  // namespace
}  // namespace pdulink
