// The reply parsers on arbitrary phone output: no crash, and every result
// stays inside what its caller expects.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

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

  const std::string receive = ChooseReceiveMemory(reply, "MT");
  Check(receive.empty() || receive == "SM" || receive == "ME");

  // The burst cut in two anywhere: nothing is lost or made up, the reply and
  // the unsolicited lines together are the bytes given (less what is held).
  UnsolicitedFilter filter;
  filter.Asked("AT+CMGR=1\r");
  const size_t half = size / 2;
  size_t out = 0;
  for (std::string_view piece : {std::string_view(reply).substr(0, half), std::string_view(reply).substr(half)}) {
    UnsolicitedFilter::Split split = filter.Take(piece);
    out += split.reply.size();
    for (const std::string& line : split.unsolicited) out += line.size();
    Check(split.powerOn >= 0 && static_cast<size_t>(split.powerOn) <= split.unsolicited.size());
  }
  Check(out <= reply.size());
  return 0;
}
