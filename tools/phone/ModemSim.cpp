// The SIM and the network: the PIN, registration and signal quality.
#include "ModemParts.h"

namespace pdulink::phone {

using F = Modem::Command::Form;

const std::vector<Modem::CommandRow>& Modem::SimCommands() {
  static const std::vector<CommandRow> rows = {
      {"+CPIN", &Modem::Cpin},
      {"+CREG", &Modem::Creg},
      {"+CSQ", &Modem::Csq},
  };
  return rows;
}

bool Modem::SimBusy() const {
  if (simReadyAt_ < 0) return false;
  return (clock ? clock() : lastTick_) < simReadyAt_;
}

int Modem::RegistrationNow() const {
  bool ready = (settings.sim == SimState::Ready || settings.sim == SimState::Pin2) && !SimBusy();
  return ready ? settings.registration : 0;
}

std::optional<Modem::Result> Modem::SimRefusesSms() const {
  if (SimBusy()) return Result{Final::Cms, kCmsSimBusy};
  switch (settings.sim) {
    case SimState::Ready:
    case SimState::Pin2: return std::nullopt;
    case SimState::Pin: return Result{Final::Cms, kCmsSimPinRequired};
    case SimState::Puk: return Result{Final::Cms, kCmsSimPukRequired};
    case SimState::Absent: return Result{Final::Cms, kCmsSimNotInserted};
  }
  return std::nullopt;
}

Modem::Result Modem::Cpin(const Command& cmd) {
  using F = Command::Form;
  if (cmd.form == F::Test) return {};
  if (cmd.form == F::Action) return {Final::Error, 0};
  if (settings.sim == SimState::Absent) return CmeError(kCmeSimNotInserted);
  if (SimBusy()) return CmeError(kCmeSimBusy);
  if (cmd.form == F::Read) {
    static const char* kCodes[] = {"READY", "SIM PIN", "SIM PUK", "SIM PIN2", "READY"};
    Info(std::string("+CPIN: ") + kCodes[static_cast<int>(settings.sim)]);
    return {};
  }
  std::vector<Param> ps;
  if (!SplitParams(cmd.args, ps) || ps.empty() || ps.size() > 2) return {Final::Error, 0};
  if (settings.sim == SimState::Pin) {
    if (ps.size() != 1) return CmeError(kCmeNotAllowed);
    if (ps[0].value != settings.pin) {
      if (--settings.pinAttempts <= 0) {
        settings.pinAttempts = 0;
        settings.sim = SimState::Puk;
      }
      return CmeError(kCmeIncorrectPassword);
    }
  } else if (settings.sim == SimState::Puk) {
    if (ps.size() != 2 || ps[0].value != settings.puk) return CmeError(kCmeIncorrectPassword);
    if (ps[1].value.size() < 4 || ps[1].value.size() > 8 || !IsDigitString(ps[1].value)) return CmeError(kCmeNotAllowed);
    settings.pin = ps[1].value;
  } else {
    return CmeError(kCmeNotAllowed);  // no PIN is pending
  }
  settings.pinAttempts = 3;
  settings.sim = SimState::Ready;
  if (settings.simReadyDelayMs > 0) simReadyAt_ = (clock ? clock() : lastTick_) + settings.simReadyDelayMs;
  return {};
}

void Modem::SetSim(SimState state) {
  settings.sim = state;
  simReadyAt_ = -1;
  if (state == SimState::Pin) settings.pinAttempts = 3;
}

void Modem::SetRegistration(int stat) {
  bool changed = stat != settings.registration;
  settings.registration = stat;
  if (!changed || creg_ == 0) return;
  Unsolicited("\r\n+CREG: " + std::to_string(RegistrationNow()) + (creg_ == 2 ? ",\"0001\",\"0001\"" : "") + "\r\n");
}

Modem::Result Modem::Creg(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CREG: (0-2)"); return {};
    case F::Read:
      Info("+CREG: " + std::to_string(creg_) + "," + std::to_string(RegistrationNow()) +
           (creg_ == 2 ? ",\"0001\",\"0001\"" : ""));
      return {};
    case F::Set: return ps.size() == 1 && ToInt(ps[0], creg_, 0, 2) ? Result{} : CmeError(kCmeNotSupported);
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Csq(const Command& cmd) {
  if (cmd.form == F::Test) Info("+CSQ: (0-31,99),(0-7,99)");
  else if (cmd.form == F::Action) Info("+CSQ: " + std::to_string(settings.rssi) + "," + std::to_string(settings.ber));
  else return {Final::Error, 0};
  return {};
}

}  // namespace pdulink::phone
