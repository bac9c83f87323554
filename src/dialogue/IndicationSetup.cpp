#include "IndicationSetup.h"

#include "Journal.h"
#include "Replies.h"
#include "Transaction.h"

IndicationSetup::IndicationSetup(Context& ctx, Transaction& dialogue) : journal_(ctx.journal), dialogue_(dialogue) {}

bool IndicationSetup::Run(const std::string& memory) {
  // Messages received go into the memory that is read; a phone that keeps
  // them elsewhere still indicates them, and those are left to the listing.
  if (!memory.empty()) {
    const bool answered = AskWhole(dialogue_, "AT+CPMS=" + memory + "," + memory + "," + memory + "\r");
    (void)answered;
  }
  std::vector<std::string> settings;
  if (AskWhole(dialogue_, "AT+CNMI=?\r")) settings = CnmiSettings(dialogue_.CaptureText);
  for (const std::string& setting : settings) {
    if (AskWhole(dialogue_, "AT+CNMI=" + setting + "\r") && ReplyHoldsOk(dialogue_.CaptureText)) {
      journal_.WriteLog("New-message indications: AT+CNMI=" + setting);
      return true;
    }
  }
  journal_.WriteLog("New-message indications refused by the phone: reading on the polling interval only");
  return false;
}
