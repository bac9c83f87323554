#pragma once
// The connect's step for new-message indications (Indications=1): received
// messages and status reports are to be stored in the memory the gateway
// reads (AT+CPMS with it for all three uses) and indicated (AT+CNMI, the
// setting chosen from the phone's AT+CNMI=? answer, the best one it takes).
#include <string>

#include "Context.h"

class Transaction;

class IndicationSetup {
 public:
  IndicationSetup(Context& ctx, Transaction& dialogue);

  // Asks the phone; one journal line names the setting taken, or says that
  // the phone took none (the gateway then polls only). True when one was taken.
  // offered is the phone's AT+CPMS=? reply: a phone that refuses memory for
  // received messages keeps them in another one it offers (ReceiveMemory),
  // which the indicated messages are then read from.
  bool Run(const std::string& memory, const std::string& offered);

  // Where the phone stores new messages when it is not the memory read;
  // empty otherwise.
  std::string ReceiveMemory;

 private:
  Journal& journal_;
  Transaction& dialogue_;
};
