#include <algorithm>
#include "Modem.h"

#include <cstring>
#include <map>

#include "ModemParts.h"

namespace pdulink::phone {
namespace {

using Command = Modem::Command;

// An extended command at `i` ("+CMGS=...", "*X?", "^Y=?"); moves `i` past
// it. False when it is malformed.
bool ParseExtended(std::string_view body, std::size_t& i, Command& cmd) {
  const std::size_t n = body.size();
  std::size_t j = i + 1;
  while (j < n && (std::isalnum(static_cast<unsigned char>(body[j])) || std::strchr("!%-./:_", body[j]))) ++j;
  if (j == i + 1) return false;
  cmd.name = Upper(body.substr(i, j - i));
  if (j + 1 < n && body[j] == '=' && body[j + 1] == '?') {
    cmd.form = Command::Form::Test;
    j += 2;
  } else if (j < n && body[j] == '=') {
    cmd.form = Command::Form::Set;
    std::size_t k = j + 1;
    bool quote = false;
    while (k < n && (quote || body[k] != ';')) {
      if (body[k] == '"') quote = !quote;
      ++k;
    }
    if (quote) return false;
    cmd.args = std::string(body.substr(j + 1, k - j - 1));
    j = k;
  } else if (j < n && body[j] == '?') {
    cmd.form = Command::Form::Read;
    ++j;
  }
  while (j < n && body[j] == ' ') ++j;
  if (j < n && body[j] != ';') return false;
  i = j;
  return true;
}

// An "&" command with its digits ("&F", "&W0").
bool ParseAmpersand(std::string_view body, std::size_t& i, Command& cmd) {
  const std::size_t n = body.size();
  if (i + 1 >= n || !std::isalpha(static_cast<unsigned char>(body[i + 1]))) return false;
  cmd.name = std::string("&") + static_cast<char>(std::toupper(static_cast<unsigned char>(body[i + 1])));
  std::size_t j = i + 2;
  while (j < n && std::isdigit(static_cast<unsigned char>(body[j]))) ++j;
  cmd.args = std::string(body.substr(i + 2, j - i - 2));
  i = j;
  return true;
}

// The rest of an S-register command at `j`, after its number: "?" or
// "=value".
bool ParseSRegister(std::string_view body, std::size_t& j, Command& cmd) {
  const std::size_t n = body.size();
  if (cmd.args.empty() || j >= n) return false;
  if (body[j] == '?') {
    cmd.form = Command::Form::Read;
    ++j;
    return true;
  }
  if (body[j] != '=') return false;
  std::size_t k = j + 1;
  while (k < n && std::isdigit(static_cast<unsigned char>(body[k]))) ++k;
  cmd.form = Command::Form::Set;
  cmd.args += '=';
  cmd.args.append(body.substr(j + 1, k - j - 1));
  j = k;
  return true;
}

// A basic command: one letter and its digits ("E0", "V1", "S0=2"), or "D"
// with its dial string, which runs to the end of the line.
bool ParseBasic(std::string_view body, std::size_t& i, Command& cmd) {
  const std::size_t n = body.size();
  char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(body[i])));
  cmd.name = std::string(1, letter);
  if (letter == 'D') {
    cmd.args = Trim(body.substr(i + 1));
    i = n;
    return true;
  }
  std::size_t j = i + 1;
  while (j < n && std::isdigit(static_cast<unsigned char>(body[j]))) ++j;
  cmd.args = std::string(body.substr(i + 1, j - i - 1));
  if (letter == 'S' && !ParseSRegister(body, j, cmd)) return false;
  i = j;
  return true;
}

// The command's text as the fault patterns and held deliveries match it.
void SetCommandText(Command& cmd) {
  switch (cmd.form) {
    case Command::Form::Action: cmd.text = cmd.name + Upper(cmd.args); break;
    case Command::Form::Set:
      // Appended piece by piece: "=" + Upper(...) makes GCC 12 at -O3 warn
      // about an overlapping copy that cannot happen (-Wrestrict).
      cmd.text = cmd.name;
      if (cmd.name != "S") cmd.text += '=';
      cmd.text += Upper(cmd.args);
      break;
    case Command::Form::Read: cmd.text = cmd.name + (cmd.name == "S" ? cmd.args : "") + "?"; break;
    case Command::Form::Test: cmd.text = cmd.name + "=?"; break;
  }
}

bool ParseCommands(std::string_view body, std::vector<Command>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < body.size()) {
    char c = body[i];
    if (c == ' ' || c == ';') {
      ++i;
      continue;
    }
    Command cmd;
    bool ok = false;
    if (std::strchr("+*^%$", c) != nullptr) ok = ParseExtended(body, i, cmd);
    else if (c == '&') ok = ParseAmpersand(body, i, cmd);
    else if (std::isalpha(static_cast<unsigned char>(c))) ok = ParseBasic(body, i, cmd);
    if (!ok) return false;
    SetCommandText(cmd);
    out.push_back(std::move(cmd));
  }
  return true;
}

}  // namespace

Modem::Modem(OutputSink sink) : sink_(std::move(sink)) {}

void Modem::Emit(OutputKind kind, std::string text) {
  if (!text.empty()) sink_(kind, std::move(text));
}

void Modem::PowerCycle() {
  echo_ = true;
  cmgf_ = 0;
  cscs_ = "IRA";
  std::fill(std::begin(cnmi_), std::end(cnmi_), 0);
  clip_ = cmee_ = creg_ = calm_ = csms_ = 0;
  sRegisters_.clear();
  mem1_ = mem2_ = mem3_ = Memory::SM;
  MemoriesChanged();
  Unsolicited("\r\nRDY\r\n");
}

void Modem::Unsolicited(std::string text) {
  const bool noisy = noise_.on;
  if (inReply_ && noisy && noise_.place == Noise::Place::Between) {
    // Written at once: it reaches the host before the reply being built.
    Emit(OutputKind::Unsolicited, std::move(text));
  } else if (inReply_) {
    const bool beforePdu = noisy && (noise_.place == Noise::Place::BeforePdu ||
                                     (noise_.place == Noise::Place::Random && noiseRng_() % 2 == 0));
    if (beforePdu)
      noiseInside_.push_back(InsideLine{std::move(text), true});
    else
      info_ += text;
  } else if (inPrompt_) {
    heldUnsolicited_.push_back(std::move(text));
  } else if (noisy) {
    // Held for the next command, or until it has waited long enough.
    if (noiseHeld_.empty()) noiseHeldSince_ = clock ? clock() : lastTick_;
    noiseHeld_.push_back(std::move(text));
  } else {
    Emit(OutputKind::Unsolicited, std::move(text));
  }
}

void Modem::Receive(std::string_view bytes) {
  std::string echo;
  auto flushEcho = [&] {
    Emit(OutputKind::Echo, echo);
    echo.clear();
  };
  for (char c : bytes) {
    if (inPrompt_) {
      if (c == kCtrlZ || c == kEsc) {
        flushEcho();
        FinishPdu(c == kEsc);
        continue;
      }
      if (echo_) echo.push_back(c);
      if (c == '\r' || c == '\n' || c == ' ') continue;
      if (pduText_.size() >= kMaxPduText)
        pduOverflow_ = true;
      else
        pduText_.push_back(c);
      continue;
    }
    if (echo_) echo.push_back(c);
    if (c == '\n') {  // after CR, or stray: both ignored
      lastWasCr_ = false;
      continue;
    }
    lastWasCr_ = c == '\r';
    if (c == '\r') {
      flushEcho();
      std::string line;
      line.swap(line_);
      bool overflow = lineOverflow_;
      lineOverflow_ = false;
      if (overflow)
        Emit(OutputKind::Reply, "\r\nERROR\r\n");
      else
        ExecuteLine(line);
    } else if (c == 0x08 || c == 0x7F) {  // backspace edits the line (S5)
      if (!line_.empty()) line_.pop_back();
    } else if (line_.size() >= kMaxLine) {
      lineOverflow_ = true;
    } else {
      line_.push_back(c);
    }
  }
  flushEcho();
}

void Modem::HostClosed() {
  line_.clear();
  lineOverflow_ = false;
  inPrompt_ = false;
  pduText_.clear();
  pduOverflow_ = false;
  heldUnsolicited_.clear();
  noiseHeld_.clear();
  noiseHeldSince_ = -1;
  noiseInside_.clear();
}

std::optional<Fault> Modem::MatchFault(const std::string& text) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    bool match = it->pattern.empty() ? text.empty() : text.compare(0, it->pattern.size(), it->pattern) == 0;
    if (!match) continue;
    Fault fault = *it;
    if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
    return fault;
  }
  return std::nullopt;
}

Modem::Result Modem::CmeError(int code) const {
  if (cmee_ == 0) return {Final::Error, 0};
  return {Final::Cme, code};
}

void Modem::ExecuteLine(const std::string& raw) {
  std::string line = Trim(raw);
  // An ESC outside a message prompt is ignored, as handsets do.
  line.erase(std::remove(line.begin(), line.end(), kEsc), line.end());
  if (line.empty()) return;  // an empty line gets no answer
  info_.clear();
  PlaceNoise();
  auto finalText = [](Result r) -> std::string {
    switch (r.final) {
      case Final::Ok: return "\r\nOK\r\n";
      case Final::Error: return "\r\nERROR\r\n";
      case Final::Cms: return "\r\n+CMS ERROR: " + std::to_string(r.code) + "\r\n";
      case Final::Cme: return "\r\n+CME ERROR: " + std::to_string(r.code) + "\r\n";
      case Final::NoCarrier: return "\r\nNO CARRIER\r\n";
      case Final::Prompt: return "\r\n> ";
      case Final::None: return "";
    }
    return "";
  };
  std::vector<Command> commands;
  if (line.size() < 2 || Upper(line.substr(0, 2)) != "AT" || !ParseCommands(std::string_view(line).substr(2), commands)) {
    Emit(OutputKind::Reply, WithNoiseInside("\r\nERROR\r\n"));
    return;
  }
  if (commands.empty()) commands.emplace_back();  // a bare "AT"
  Result result{Final::Ok, 0};
  for (const auto& cmd : commands) {
    std::optional<Fault> fault = MatchFault(cmd.text);
    if (fault) {
      switch (fault->kind) {
        case Fault::Kind::Error: result = {Final::Error, 0}; break;
        case Fault::Kind::CmsError: result = {Final::Cms, fault->code}; break;
        case Fault::Kind::CmeError: result = {Final::Cme, fault->code}; break;
        case Fault::Kind::Reply: Emit(OutputKind::Reply, WithNoiseInside(fault->reply)); return;
        case Fault::Kind::Silent: Emit(OutputKind::Unsolicited, WithNoiseInside("")); return;
      }
      break;
    }
    result = Execute(cmd);
    for (auto it = heldDeliveries_.begin(); it != heldDeliveries_.end();) {
      if (cmd.text.compare(0, it->pattern.size(), it->pattern) != 0) {
        ++it;
        continue;
      }
      inReply_ = true;
      for (const Bytes& pdu : it->pdus) Deliver(pdu, it->target);
      inReply_ = false;
      it = heldDeliveries_.erase(it);
    }
    if (result.final != Final::Ok) break;
  }
  Emit(OutputKind::Reply, WithNoiseInside(info_ + finalText(result)));
}

Modem::Result Modem::Execute(const Command& cmd) {
  if (cmd.name.empty()) return {};  // bare AT
  static const std::map<std::string, const CommandRow*> kTable = [] {
    std::map<std::string, const CommandRow*> table;
    for (const auto* family : {&BasicCommands(), &SimCommands(), &MessageCommands(), &CallCommands()})
      for (const CommandRow& row : *family) table[row.name] = &row;
    return table;
  }();
  auto it = kTable.find(cmd.name);
  if (cmd.name[0] == '+') {
    std::vector<Param> ps;
    if (cmd.form == Command::Form::Set && !SplitParams(cmd.args, ps)) return {Final::Error, 0};
    if (it != kTable.end() && it->second->needsSim && cmd.form != Command::Form::Test)
      if (auto refused = SimRefusesSms()) return *refused;
  }
  if (it == kTable.end()) return {Final::Error, 0};
  return (this->*(it->second->handler))(cmd);
}

std::string Modem::QuoteText(const std::string& text) const {
  if (cscs_ != "UCS2") return "\"" + text + "\"";
  std::string out = "\"";
  char buf[8];
  for (unsigned char c : text) {
    std::snprintf(buf, sizeof buf, "%04X", c);
    out += buf;
  }
  return out + "\"";
}

void Modem::DeliverDuring(const std::string& pattern, std::vector<Bytes> pdus, std::optional<Memory> target) {
  std::string p = Upper(Trim(pattern));
  if (p.size() >= 2 && p.compare(0, 2, "AT") == 0) p.erase(0, 2);
  heldDeliveries_.push_back(HeldDelivery{p, std::move(pdus), target});
}

void Modem::AddFault(Fault fault) {
  std::string p = Upper(Trim(fault.pattern));
  if (p.size() >= 2 && p.compare(0, 2, "AT") == 0) p.erase(0, 2);
  fault.pattern = p;
  faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.pattern == p; }),
                faults_.end());
  faults_.push_back(std::move(fault));
}

int Modem::ClearFaults(const std::string& pattern) {
  std::string p = Upper(Trim(pattern));
  if (p.size() >= 2 && p.compare(0, 2, "AT") == 0) p.erase(0, 2);
  auto before = faults_.size();
  if (Trim(pattern).empty())
    faults_.clear();
  else
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.pattern == p; }),
                  faults_.end());
  return static_cast<int>(before - faults_.size());
}

void Modem::MemoriesChanged() {
  auto available = [&](Memory m) {
    return std::find(settings.memories.begin(), settings.memories.end(), m) != settings.memories.end();
  };
  if (settings.memories.empty()) return;
  for (Memory* m : {&mem1_, &mem2_, &mem3_})
    if (!available(*m)) *m = settings.memories.front();
}

std::string Modem::StateSummary() const {
  std::string s = "echo=" + std::to_string(echo_ ? 1 : 0) + " cmgf=" + std::to_string(cmgf_) + " cscs=" + cscs_;
  s += std::string(" cpms=") + MemoryName(mem1_) + "," + MemoryName(mem2_) + "," + MemoryName(mem3_);
  s += " cnmi=";
  // Appended piece by piece: "," + std::to_string(...) makes GCC 12 at -O3
  // warn about an overlapping copy that cannot happen (-Wrestrict).
  for (int i = 0; i < 5; ++i) {
    if (i) s += ',';
    s += std::to_string(cnmi_[i]);
  }
  s += " clip=" + std::to_string(clip_) + " calls=" + std::to_string(calls_.size());
  s += " prompt=" + std::to_string(inPrompt_ ? 1 : 0);
  s += " smsc=" + (SmscText().empty() ? std::string("none") : SmscText());
  s += " battery=" + std::to_string(settings.batteryStatus) + "," + std::to_string(settings.batteryLevel);
  s += " signal=" + std::to_string(settings.rssi) + "," + std::to_string(settings.ber);
  s += " latency=" + std::to_string(settings.latencyMs);
  s += " chunks=" + std::to_string(settings.chunkSize) + "," + std::to_string(settings.chunkPauseMs);
  s += " ring-interval=" + std::to_string(settings.ringIntervalMs);
  static const char* kSim[] = {"ready", "pin", "puk", "pin2", "absent"};
  s += std::string(" sim=") + kSim[static_cast<int>(settings.sim)] + (SimBusy() ? "(busy)" : "") +
       " pin-attempts=" + std::to_string(settings.pinAttempts);
  s += " creg=" + std::to_string(RegistrationNow());
  return s;
}


}  // namespace pdulink::phone
