#include "IndicationSetup.h"

#include "Journal.h"
#include "Replies.h"
#include "Transaction.h"

IndicationSetup::IndicationSetup(Context& ctx, Transaction& dialogue) : journal_(ctx.journal), dialogue_(dialogue) {}

bool IndicationSetup::Run(const std::string& memory, const std::string& offered) {
  ReceiveMemory.clear();
  // Messages received go into the memory that is read. A phone that refuses
  // it for them keeps them in another memory it offers; they are read from
  // there by their indications.
  if (!memory.empty()) {
    const bool taken = CommandWithFinalReply(dialogue_, "AT+CPMS=" + memory + "," + memory + "," + memory + "\r");
    if (!taken) {
      const std::string other = ChooseReceiveMemory(offered, memory);
      if (other.empty() || !CommandWithFinalReply(dialogue_, "AT+CPMS=" + memory + "," + memory + "," + other + "\r")) {
        journal_.WriteLog("New-message indications off: the phone stores new messages in no memory it offers (AT+CPMS "
                          "refused): reading on the polling interval only");
        return false;
      }
      ReceiveMemory = other;
    }
  }
  std::vector<std::string> settings;
  if (AskWhole(dialogue_, "AT+CNMI=?\r")) settings = CnmiSettings(dialogue_.CaptureText);
  for (const std::string& setting : settings) {
    if (CommandWithFinalReply(dialogue_, "AT+CNMI=" + setting + "\r")) {
      journal_.WriteLog("New-message indications: AT+CNMI=" + setting +
                        (ReceiveMemory.empty() ? "" : ", new messages in " + ReceiveMemory));
      return true;
    }
  }
  journal_.WriteLog("New-message indications refused by the phone: reading on the polling interval only");
  return false;
}
