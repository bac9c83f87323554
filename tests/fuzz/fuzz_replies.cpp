// The reply parsers on arbitrary phone output: no crash, and every result
// stays inside what its caller expects.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Replies.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);

  (void)HasFinalResult(reply);

  if (auto mr = ParseCmgsReference(reply)) Check(*mr >= 0 && *mr <= 255);

  SimReply sim = ParseCpinReply(reply);
  Check(sim.code != SimCode::NoAnswer || sim.text.empty());
  Check(sim.text.size() <= reply.size() + 16);

  int stat = ParseCregReply(reply);
  Check(stat == kNoCregLine || stat == kUnreadableCreg || (stat >= 0 && stat <= 999));
  Check(!RegistrationText(stat).empty());

  if (auto q = ParseCsqReply(reply)) {
    Check(q->rssi >= 0 && q->rssi <= 999 && q->ber >= 0 && q->ber <= 999);
    auto dbm = RssiToDbm(q->rssi);
    Check(!dbm || (*dbm >= -113 && *dbm <= -51));
    Check(SignalText(*q).rfind("Signal: ", 0) == 0);
    Check(!SignalShortText(*q).empty());
  }

  std::string memory = ChooseSmsMemory(reply);
  Check(memory.empty() || memory == "SM" || memory == "ME" || memory == "MT");
  std::string cut = reply;
  std::string smsc = ParseSmscReply(cut);
  Check(smsc.size() <= reply.size());
  return 0;
}
