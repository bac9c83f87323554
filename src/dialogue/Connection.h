#pragma once
// Connecting: open the port, check that a phone answers, identify it, read
// its service-centre number, optionally silence it and choose the message
// memory. Disconnecting only posts the request; the polling cycle closes.
#include <string>

#include "Context.h"
#include "IndicationSetup.h"
#include "Replies.h"
#include "SimCheck.h"

class Transaction;

class Connection {
 public:
  Connection(Context& ctx, Transaction& dialogue);

  std::string SmsMemory;  // "SM", "ME", "MT" or empty
  // Indications=1: the phone took a setting at the last connect.
  bool IndicationsOn = false;

  void b_open();
  std::string QuerySmsc();
  void sb_connectClick();
  void b_closeClick();

 private:
  Controls& ui_;
  Journal& journal_;
  TrayState& tray_;
  TSerialPort& comport_;
  PollClock& clock_;
  Transaction& dialogue_;
  SimCheck simCheck_;  // opt-in SIM PIN and registration step
  IndicationSetup indicationSetup_;  // opt-in new-message indications
  FormState& state_;
};
