// Calls: answering, hanging up, dialling, the call list, the activity
// status, caller identification and the RINGs of an incoming call.
#include "ModemParts.h"

namespace pdulink::phone {

using F = Modem::Command::Form;

const std::vector<Modem::CommandRow>& Modem::CallCommands() {
  static const std::vector<CommandRow> rows = {
      {"A", &Modem::Answer},
      {"H", &Modem::Hangup},
      {"D", &Modem::Dial},
      {"+CLCC", &Modem::Clcc},
      {"+CHUP", &Modem::Chup},
      {"+CPAS", &Modem::Cpas},
      {"+CLIP", &Modem::Clip},
  };
  return rows;
}

Modem::Result Modem::Answer(const Command&) {
  auto it = std::find_if(calls_.begin(), calls_.end(), [](const Call& c) { return c.state == 4 || c.state == 5; });
  if (it == calls_.end()) return {Final::NoCarrier, 0};
  for (auto& c : calls_)
    if (c.state == 0) c.state = 1;  // the call in progress goes on hold
  it->state = 0;
  return {};
}

Modem::Result Modem::Hangup(const Command& cmd) {
  const std::string& a = cmd.args;
  if (!a.empty() && a != "0") return {Final::Error, 0};
  calls_.clear();
  return {};
}

Modem::Result Modem::Dial(const Command& cmd) {
  std::string dial = cmd.args;
  if (dial.empty() || dial.back() != ';') return {Final::NoCarrier, 0};  // no data calls
  dial.pop_back();
  dial = Trim(dial);
  if (dial.empty() || dial.size() > 40 || dial.find_first_not_of("+0123456789*#") != std::string::npos)
    return {Final::Error, 0};
  if (calls_.size() >= kMaxCalls) return CmeError(kCmeNotAllowed);
  for (auto& c : calls_)
    if (c.state == 0) c.state = 1;
  int id = 1;
  while (std::any_of(calls_.begin(), calls_.end(), [&](const Call& c) { return c.id == id; })) ++id;
  calls_.push_back(Call{id, 0, 3, dial});
  return {};
}

Modem::Result Modem::Clcc(const Command& cmd) {
  if (cmd.form == F::Test) return {};
  if (cmd.form != F::Action) return {Final::Error, 0};
  for (const auto& c : calls_) {
    int type = c.number.empty() ? 128 : (c.number[0] == '+' ? 145 : 129);
    Info("+CLCC: " + std::to_string(c.id) + "," + std::to_string(c.direction) + "," + std::to_string(c.state) +
         ",0,0," + QuoteText(c.number) + "," + std::to_string(type));
  }
  return {};
}

Modem::Result Modem::Chup(const Command& cmd) {
  if (cmd.form == F::Test) return {};
  if (cmd.form != F::Action) return {Final::Error, 0};
  calls_.clear();
  return {};
}

Modem::Result Modem::Cpas(const Command& cmd) {
  if (cmd.form == F::Test) {
    Info("+CPAS: (0-5)");
  } else if (cmd.form == F::Action) {
    int status = 0;
    if (std::any_of(calls_.begin(), calls_.end(), [](const Call& c) { return c.state != 4; })) status = 4;
    else if (!calls_.empty()) status = 3;
    Info("+CPAS: " + std::to_string(status));
  } else {
    return {Final::Error, 0};
  }
  return {};
}

Modem::Result Modem::Clip(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CLIP: (0-1)"); return {};
    case F::Read: Info("+CLIP: " + std::to_string(clip_) + ",1"); return {};
    case F::Set: return ps.size() == 1 && ToInt(ps[0], clip_, 0, 1) ? Result{} : CmeError(kCmeNotSupported);
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

bool Modem::StartRing(const std::string& number, Millis now) {
  if (calls_.size() >= kMaxCalls) return false;
  bool busy = !calls_.empty();
  int id = 1;
  while (std::any_of(calls_.begin(), calls_.end(), [&](const Call& c) { return c.id == id; })) ++id;
  calls_.push_back(Call{id, 1, busy ? 5 : 4, number});
  if (!busy) nextRing_ = now;
  return true;
}

void Modem::RemoteHangup() {
  bool active = std::any_of(calls_.begin(), calls_.end(), [](const Call& c) { return c.state == 0 || c.state == 1; });
  calls_.clear();
  nextRing_ = -1;
  if (active) Unsolicited("\r\nNO CARRIER\r\n");
}

Millis Modem::NextDue() const {
  bool ringing = std::any_of(calls_.begin(), calls_.end(), [](const Call& c) { return c.state == 4; });
  Millis due = ringing ? nextRing_ : -1;
  for (const PendingReport& r : reports_)
    if (due < 0 || r.due < due) due = r.due;
  // Held noise waits while the prompt is open (it goes out after the PDU).
  if (!noiseHeld_.empty() && !inPrompt_ && (due < 0 || noiseHeldSince_ + noise_.holdMs < due))
    due = noiseHeldSince_ + noise_.holdMs;
  return due;
}

void Modem::ScheduleReports(const Bytes& tpdu, int reference) {
  // TS 23.040 9.2.2.2: TP-SRR is bit 5 of the first octet; TP-DA follows TP-MR.
  if (!settings.autoReports || tpdu.size() < 4 || !(tpdu[0] & 0x20)) return;
  const unsigned digits = tpdu[2];
  const bool international = (tpdu[3] & 0x70) == 0x10;
  std::string recipient = international ? "+" : "";
  for (unsigned i = 0; i < digits && 4 + i / 2 < tpdu.size(); ++i) {
    const unsigned nibble = i % 2 == 0 ? tpdu[4 + i / 2] & 0x0F : tpdu[4 + i / 2] >> 4;
    if (nibble > 9) return;
    recipient.push_back(static_cast<char>('0' + nibble));
  }
  const Millis now = clock ? clock() : lastTick_;
  Millis due = now;
  for (int status : settings.reportStatuses) {
    due += std::max<Millis>(settings.reportDelayMs, 0);
    reports_.push_back(PendingReport{due, reference, recipient, status});
  }
}

void Modem::Tick(Millis now) {
  lastTick_ = now;
  if (!noiseHeld_.empty() && now >= noiseHeldSince_ + noise_.holdMs && !inPrompt_) {
    auto held = std::move(noiseHeld_);
    noiseHeld_.clear();
    noiseHeldSince_ = -1;
    for (auto& text : held) Emit(OutputKind::Unsolicited, std::move(text));
  }
  for (auto it = reports_.begin(); it != reports_.end();) {
    if (it->due > now) {
      ++it;
      continue;
    }
    Bytes pdu;
    std::string error;
    if (BuildStatusReport(SmscText(), it->reference, it->recipient, it->status, NowTimestamp(), pdu, error)) {
      pdu.push_back(0x00);  // TP-PI: no further parameters
      Deliver(pdu, std::nullopt);  // dropped when the memory is full, as by a real phone
    }
    it = reports_.erase(it);
  }
  auto it = std::find_if(calls_.begin(), calls_.end(), [](const Call& c) { return c.state == 4; });
  if (it == calls_.end() || nextRing_ < 0 || now < nextRing_) return;
  std::string text = "\r\nRING\r\n";
  if (clip_) {
    int type = it->number.empty() ? 128 : (it->number[0] == '+' ? 145 : 129);
    text += "\r\n+CLIP: " + QuoteText(it->number) + "," + std::to_string(type) + "\r\n";
  }
  Unsolicited(text);
  nextRing_ = now + std::max<Millis>(settings.ringIntervalMs, 100);
}

}  // namespace pdulink::phone
