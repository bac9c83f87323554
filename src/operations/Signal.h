#pragma once
// The signal duty: asks the phone for its signal quality every SignalInt
// seconds (opt-in: without SignalInt nothing is sent).
#include "Context.h"

class Transaction;

class SignalCheck {
 public:
  SignalCheck(Context& ctx, Transaction& dialogue);

  // AT+CSQ: journal "Signal: -71 dBm (21/31), BER 0" (or "Signal: unknown
  // (99)"), the label beside the lamp and the tray tooltip show it.
  void CheckSignal();

 private:
  Controls& ui_;
  FormState& state_;
  Journal& journal_;
  TrayState& tray_;
  Transaction& dialogue_;
};
