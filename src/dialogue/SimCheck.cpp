#include "SimCheck.h"

#include <QCheckBox>
#include <QLineEdit>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "Replies.h"
#include "Settings.h"
#include "Transaction.h"
#include "text_helpers.h"

namespace {

// One line of what the phone said, short enough for the journal.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
  if (out.size() > 60) out = out.substr(0, 60) + "...";
  return out;
}

}  // namespace

SimCheck::SimCheck(Context& ctx, Transaction& dialogue)
    : ui_(ctx.ui), state_(ctx.state), journal_(ctx.journal), clock_(ctx.clock), dialogue_(dialogue) {}

bool SimCheck::Wanted() const {
  return ui_.cb_simcheck->isChecked() || !pdulink::TrimBlanks(ToAnsi(ui_.ed_pin->text())).empty();
}

void SimCheck::Stop(const std::string& journalLine, const std::string& state) {
  // The last reply may well have been OK, but the connect ends here: the
  // cycle must not announce automatic reading.
  dialogue_.OkFlag = false;
  journal_.WriteLog(journalLine);
  state_.SimState = state;
}

SimReply SimCheck::AskPinState(bool* echoed) {
  if (!AskWhole(dialogue_, "AT+CPIN?\r")) return {SimCode::NoAnswer, ""};
  // With echo still on, the command comes back before its answer.
  if (echoed) *echoed = pdulink::FindNoCase(dialogue_.CaptureText, "AT+CPIN") != std::string::npos;
  return ParseCpinReply(dialogue_.CaptureText);
}

bool SimCheck::Run() {
  bool echoed = false;
  SimReply sim = AskPinState(&echoed);
  // A SIM that is still starting up answers "busy" for a moment.
  for (int i = 0; sim.code == SimCode::Busy && i < kReadyPolls && PauseOneTick(); ++i) sim = AskPinState(&echoed);

  switch (sim.code) {
    case SimCode::Ready:
      state_.SimState = "ready";
      break;
    case SimCode::SimPin: {
      std::string pin(pdulink::TrimBlanks(ToAnsi(ui_.ed_pin->text())));
      if (!IsValidPin(pin)) {
        Stop("SIM asks for a PIN: set Pin in the configuration", "asks for a PIN");
        return false;
      }
      // After a refusal no PIN goes out until Save has stored another one.
      if (!state_.RejectedPin.empty()) {
        Stop("SIM PIN rejected", "PIN rejected");
        return false;
      }
      if (echoed) {
        // The PIN would come back in the echo and land in the journal.
        Stop("SIM PIN not sent: the phone echoes commands", "asks for a PIN");
        return false;
      }
      if (!Unlock(pin)) return false;
      break;
    }
    case SimCode::SimPuk:
      Stop("SIM asks for the PUK (" + OneLine(sim.text) + "): unlock it in a phone", "asks for the PUK");
      return false;
    case SimCode::SimPin2:
      Stop("SIM asks for PIN2 (" + OneLine(sim.text) + ")", "asks for PIN2");
      return false;
    case SimCode::SimPuk2:
      Stop("SIM asks for PUK2 (" + OneLine(sim.text) + ")", "asks for PUK2");
      return false;
    case SimCode::NoSim:
      Stop("No SIM in the phone (" + OneLine(sim.text) + ")", "no SIM");
      return false;
    case SimCode::Busy:
      Stop("SIM not ready (" + OneLine(sim.text) + ")", "not ready");
      return false;
    case SimCode::Other:
      Stop("SIM not ready (" + OneLine(sim.text) + ")", "not ready (" + OneLine(sim.text) + ")");
      return false;
    case SimCode::NoAnswer:
      Stop("SIM: no answer to AT+CPIN?", "no answer");
      return false;
  }
  CheckNetwork();
  return true;
}

bool SimCheck::Unlock(const std::string& pin) {
  // Counted as refused until the SIM confirms it: a PIN whose answer got
  // lost may have cost an attempt, and three wrong ones lock the SIM.
  state_.RejectedPin = pin;
  if (!CommandWithFinalReply(dialogue_, "AT+CPIN=\"" + pin + "\"\r")) {
    Stop("SIM PIN rejected", "PIN rejected");
    return false;
  }
  // Many modems need seconds after the PIN before the SIM answers READY.
  SimReply sim{SimCode::NoAnswer, ""};
  for (int i = 0; i < kReadyPolls; ++i) {
    if (i > 0 && !PauseOneTick()) break;
    sim = AskPinState();
    if (sim.code == SimCode::Ready) {
      state_.RejectedPin.clear();
      journal_.WriteLog("SIM PIN accepted");
      state_.SimState = "ready";
      return true;
    }
    if (sim.code == SimCode::SimPuk || sim.code == SimCode::NoAnswer) break;
  }
  if (sim.code == SimCode::SimPin || sim.code == SimCode::SimPuk) {
    // The phone said OK, yet the SIM still wants a PIN (or now the PUK).
    Stop("SIM PIN rejected", "PIN rejected");
    return false;
  }
  // The phone took the PIN; it may be sent again on a later connect.
  state_.RejectedPin.clear();
  Stop("SIM not ready after the PIN", "not ready after the PIN");
  return false;
}

void SimCheck::CheckNetwork() {
  AskWhole(dialogue_, "AT+CREG?\r");
  std::string text = RegistrationText(ParseCregReply(dialogue_.CaptureText));
  journal_.WriteLog("Network: " + text);
  state_.NetworkState = text;
  state_.RegistrationReports = RegistrationReportsOn(dialogue_.CaptureText);
}

bool SimCheck::PauseOneTick() {
  // Disconnect or Exit: the next wait ends at once, so stop asking.
  return dialogue_.Rest(1);
}
