#pragma once
// Connecting: open the port, check that a phone answers, identify it, read
// its service-centre number, optionally silence it and choose the message
// memory. Disconnecting only posts the request; the polling cycle closes.
#include <functional>
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
  // The longest pause between two questions to a SIM that is still starting
  // up; the pauses grow 1, 2, 4, 8, 16 seconds, then the connect gives up.
  static constexpr int kSimWaitTop = 16;
  std::string QuerySmsc();
  void sb_connectClick();
  void b_closeClick();

 private:
  // The steps of the connect: the port opened (false: it did not open), the
  // phone woken and identified (with the SIM check when asked for), the
  // message memory chosen from the offered ones (their list returned) and
  // selected, and the connection shown with indications set up.
  bool OpenPort();
  bool Identify();
  std::string ChooseMemory();
  bool SelectMemory();
  void Connected(const std::string& offered);

  // After a question the SIM must answer: while the reply (the capture) says
  // the SIM is still starting up, journals it, rests a growing while and
  // asks again. True when the last reply is no such word.
  bool UntilSimReady(const std::function<void()>& ask);

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
