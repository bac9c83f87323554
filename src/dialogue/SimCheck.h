#pragma once
// The SIM and network part of the connect. It is opt-in: without SimCheck
// and Pin nothing of this is sent. A PIN the SIM refused is never sent again by the same run.
#include <string>

#include "Context.h"
#include "Replies.h"

class Transaction;

class SimCheck {
 public:
  SimCheck(Context& ctx, Transaction& dialogue);

  // Checked: the SIM check box, or a PIN in its field.
  bool Wanted() const;

  // AT+CPIN? (and the PIN once, when the SIM asks for it), then AT+CREG?.
  // False when the connect must stop: the SIM is not ready.
  bool Run();

  // How many times the SIM is asked again after the PIN, a tick apart.
  static constexpr int kReadyPolls = 10;

 private:
  bool Unlock(const std::string& pin);
  void CheckNetwork();
  SimReply AskPinState(bool* echoed = nullptr);
  bool PauseOneTick();
  void Stop(const std::string& journalLine, const std::string& state);

  Controls& ui_;
  FormState& state_;
  Journal& journal_;
  PollClock& clock_;
  Transaction& dialogue_;
};
