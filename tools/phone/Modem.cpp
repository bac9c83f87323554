#include "Modem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace pdulink::phone {
namespace {

constexpr std::size_t kMaxLine = 1024;  // longer command lines are rejected
constexpr std::size_t kMaxPduText = 2 * 200;
constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr int kMaxTpdu = 164;  // longest SMS-SUBMIT TPDU
constexpr std::size_t kMaxCalls = 7;  // calls a GSM phone holds at once

// TS 27.005 3.2.5 <err> values used here.
constexpr int kCmsNotAllowed = 302;
constexpr int kCmsNotSupported = 303;
constexpr int kCmsInvalidPdu = 304;
constexpr int kCmsSimNotInserted = 310;
constexpr int kCmsSimPinRequired = 311;
constexpr int kCmsSimBusy = 314;
constexpr int kCmsSimPukRequired = 316;
constexpr int kCmsInvalidIndex = 321;
constexpr int kCmsMemoryFull = 322;
// TS 27.007 9.2.1 <err>.
constexpr int kCmeNotAllowed = 3;
constexpr int kCmeNotSupported = 4;
constexpr int kCmeSimNotInserted = 10;
constexpr int kCmeSimBusy = 14;
constexpr int kCmeIncorrectPassword = 16;

std::string Upper(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return out;
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

struct Param {
  std::string value;
  bool quoted = false;
  bool present = false;
};

// Splits a parameter list at commas outside double quotes. False on an
// unterminated string.
bool SplitParams(std::string_view args, std::vector<Param>& out) {
  out.clear();
  Param current;
  bool inQuote = false;
  for (char c : args) {
    if (inQuote) {
      if (c == '"')
        inQuote = false;
      else
        current.value.push_back(c);
    } else if (c == '"') {
      inQuote = true;
      current.quoted = true;
      current.present = true;
    } else if (c == ',') {
      out.push_back(current);
      current = Param{};
    } else if (c != ' ') {
      current.value.push_back(c);
      current.present = true;
    }
  }
  if (inQuote) return false;
  out.push_back(current);
  return true;
}

bool ToInt(const Param& p, int& out, int lo, int hi) {
  if (!p.present || p.quoted || p.value.empty() || p.value.size() > 9) return false;
  for (char c : p.value)
    if (c < '0' || c > '9') return false;
  int v = std::stoi(p.value);
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

bool IsDigitString(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "+123" -> digits, 145; "123" -> digits, 129.
bool SplitNumber(std::string_view number, std::string& digits, int& type) {
  bool plus = !number.empty() && number[0] == '+';
  std::string_view d = plus ? number.substr(1) : number;
  if (!IsDigitString(d) || d.size() > 20) return false;
  digits = std::string(d);
  type = plus ? 145 : 129;
  return true;
}

}  // namespace

struct Modem::Command {
  enum class Form { Action, Set, Read, Test };
  std::string name;  // "E", "&F", "+CMGL", "D", "S"
  Form form = Form::Action;
  std::string args;  // after '=', digits of a basic command, or the dial string
  std::string text;  // upper case as written, for fault matching
};

namespace {

using Command = Modem::Command;

bool ParseCommands(std::string_view body, std::vector<Command>& out) {
  out.clear();
  std::size_t i = 0, n = body.size();
  auto upperAt = [&](std::size_t k) { return static_cast<char>(std::toupper(static_cast<unsigned char>(body[k]))); };
  while (i < n) {
    char c = body[i];
    if (c == ' ' || c == ';') {
      ++i;
      continue;
    }
    Command cmd;
    if (std::strchr("+*^%$", c) != nullptr) {
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
    } else if (c == '&') {
      if (i + 1 >= n || !std::isalpha(static_cast<unsigned char>(body[i + 1]))) return false;
      cmd.name = std::string("&") + upperAt(i + 1);
      std::size_t j = i + 2;
      while (j < n && std::isdigit(static_cast<unsigned char>(body[j]))) ++j;
      cmd.args = std::string(body.substr(i + 2, j - i - 2));
      i = j;
    } else if (std::isalpha(static_cast<unsigned char>(c))) {
      char letter = upperAt(i);
      cmd.name = std::string(1, letter);
      if (letter == 'D') {  // the dial string runs to the end of the line
        cmd.args = Trim(body.substr(i + 1));
        i = n;
      } else {
        std::size_t j = i + 1;
        while (j < n && std::isdigit(static_cast<unsigned char>(body[j]))) ++j;
        cmd.args = std::string(body.substr(i + 1, j - i - 1));
        if (letter == 'S') {  // S-registers: Sn? or Sn=v
          if (cmd.args.empty() || j >= n) return false;
          if (body[j] == '?') {
            cmd.form = Command::Form::Read;
            ++j;
          } else if (body[j] == '=') {
            std::size_t k = j + 1;
            while (k < n && std::isdigit(static_cast<unsigned char>(body[k]))) ++k;
            cmd.form = Command::Form::Set;
            cmd.args += "=" + std::string(body.substr(j + 1, k - j - 1));
            j = k;
          } else {
            return false;
          }
        }
        i = j;
      }
    } else {
      return false;
    }
    switch (cmd.form) {
      case Command::Form::Action: cmd.text = cmd.name + Upper(cmd.args); break;
      case Command::Form::Set:
        cmd.text = cmd.name + (cmd.name == "S" ? Upper(cmd.args) : "=" + Upper(cmd.args));
        break;
      case Command::Form::Read: cmd.text = cmd.name + (cmd.name == "S" ? cmd.args : "") + "?"; break;
      case Command::Form::Test: cmd.text = cmd.name + "=?"; break;
    }
    out.push_back(std::move(cmd));
  }
  return true;
}

}  // namespace

Modem::Modem(OutputSink sink) : sink_(std::move(sink)) {}

void Modem::Emit(OutputKind kind, std::string text) {
  if (!text.empty()) sink_(kind, std::move(text));
}

void Modem::Unsolicited(std::string text) {
  if (inPrompt_)
    heldUnsolicited_.push_back(std::move(text));
  else
    Emit(OutputKind::Unsolicited, std::move(text));
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
  if (line.empty()) return;  // an empty line gets no answer
  info_.clear();
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
    Emit(OutputKind::Reply, "\r\nERROR\r\n");
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
        case Fault::Kind::Reply: Emit(OutputKind::Reply, fault->reply); return;
        case Fault::Kind::Silent: return;
      }
      break;
    }
    result = Execute(cmd);
    if (result.final != Final::Ok) break;
  }
  Emit(OutputKind::Reply, info_ + finalText(result));
}

void Modem::ResetProfile() {
  echo_ = true;
  cmgf_ = 0;
  cscs_ = "IRA";
  std::fill(std::begin(cnmi_), std::end(cnmi_), 0);
  clip_ = 0;
  cmee_ = 0;
  creg_ = 0;
  csms_ = 0;
}

Modem::Result Modem::Execute(const Command& cmd) {
  if (cmd.name.empty()) return {};  // bare AT
  if (cmd.name[0] == '+') return Extended(cmd);
  return Basic(cmd);
}

Modem::Result Modem::Basic(const Command& cmd) {
  const std::string& n = cmd.name;
  const std::string& a = cmd.args;
  if (n == "E") {
    if (a.empty() || a == "0") echo_ = false;
    else if (a == "1") echo_ = true;
    else return {Final::Error, 0};
    return {};
  }
  if (n == "Z" || n == "&F") {
    if (!a.empty() && a != "0") return {Final::Error, 0};
    ResetProfile();
    return {};
  }
  if (n == "I") {
    Info(settings.manufacturer + "\r\n" + settings.model + "\r\nREVISION " + settings.revision);
    return {};
  }
  if (n == "V") return a.empty() || a == "1" ? Result{} : Result{Final::Error, 0};  // only verbose results
  if (n == "Q") return a.empty() || a == "0" ? Result{} : Result{Final::Error, 0};
  if (n == "&C" || n == "&D" || n == "&K" || n == "X") return {};
  if (n == "S") {
    auto eq = a.find('=');
    if (a.substr(0, eq).size() > 3) return {Final::Error, 0};
    int reg = std::stoi(a.substr(0, eq));
    if (cmd.form == Command::Form::Read) {
      static const std::map<int, int> kDefaults = {{3, 13}, {4, 10}, {5, 8}};
      int value = sRegisters_.count(reg) ? sRegisters_[reg] : (kDefaults.count(reg) ? kDefaults.at(reg) : 0);
      char buf[8];
      std::snprintf(buf, sizeof buf, "%03d", value);
      Info(buf);
      return {};
    }
    std::string value = a.substr(eq + 1);
    if (value.empty() || value.size() > 3 || std::stoi(value) > 255) return {Final::Error, 0};
    sRegisters_[reg] = std::stoi(value);
    return {};
  }
  if (n == "A") {
    auto it = std::find_if(calls_.begin(), calls_.end(), [](const Call& c) { return c.state == 4 || c.state == 5; });
    if (it == calls_.end()) return {Final::NoCarrier, 0};
    for (auto& c : calls_)
      if (c.state == 0) c.state = 1;  // the call in progress goes on hold
    it->state = 0;
    return {};
  }
  if (n == "H") {
    if (!a.empty() && a != "0") return {Final::Error, 0};
    calls_.clear();
    return {};
  }
  if (n == "D") {
    std::string dial = a;
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
  return {Final::Error, 0};
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

std::string Modem::SmscText() const {
  if (settings.smscDigits.empty()) return "";
  return (settings.smscType == 145 ? "+" : "") + settings.smscDigits;
}

Modem::Result Modem::Extended(const Command& cmd) {
  using F = Command::Form;
  const std::string& n = cmd.name;
  std::vector<Param> ps;
  if (cmd.form == F::Set && !SplitParams(cmd.args, ps)) return {Final::Error, 0};
  auto identity = [&](const std::string& value) -> Result {
    if (cmd.form == F::Test) return {};
    if (cmd.form != F::Action) return {Final::Error, 0};
    Info(value);
    return {};
  };
  if (n == "+CGMI" || n == "+GMI") return identity(settings.manufacturer);
  if (n == "+CGMM" || n == "+GMM") return identity(settings.model);
  if (n == "+CGMR" || n == "+GMR") return identity(settings.revision);
  if (n == "+CGSN" || n == "+GSN") return identity(settings.imei);
  if (n == "+CIMI") return identity(settings.imsi);

  // Message storage and sending need a ready SIM (TS 27.005 3.2.5).
  static const char* kSimCommands[] = {"+CPMS", "+CMGL", "+CMGR", "+CMGD", "+CMGS", "+CMGW", "+CMSS", "+CSCA"};
  if (cmd.form != F::Test && std::find(std::begin(kSimCommands), std::end(kSimCommands), n) != std::end(kSimCommands))
    if (auto refused = SimRefusesSms()) return *refused;

  if (n == "+CSCS") {
    switch (cmd.form) {
      case F::Test: Info("+CSCS: (\"GSM\",\"UCS2\",\"IRA\")"); return {};
      case F::Read: Info("+CSCS: \"" + cscs_ + "\""); return {};
      case F::Set: {
        std::string set = ps.size() == 1 ? Upper(ps[0].value) : "";
        if (set != "GSM" && set != "UCS2" && set != "IRA") return CmeError(kCmeNotSupported);
        cscs_ = set;
        return {};
      }
      case F::Action: return {Final::Error, 0};
    }
  }
  if (n == "+CSCA") return Csca(cmd);
  if (n == "+CALM") {
    switch (cmd.form) {
      case F::Test: Info("+CALM: (0,1)"); return {};
      case F::Read: Info("+CALM: " + std::to_string(calm_)); return {};
      case F::Set: return ps.size() == 1 && ToInt(ps[0], calm_, 0, 1) ? Result{} : CmeError(kCmeNotSupported);
      case F::Action: return {Final::Error, 0};
    }
  }
  if (n == "+CPMS") return Cpms(cmd);
  if (n == "+CMGF") {
    switch (cmd.form) {
      case F::Test: Info("+CMGF: (0,1)"); return {};
      case F::Read: Info("+CMGF: " + std::to_string(cmgf_)); return {};
      case F::Set: return ps.size() == 1 && ToInt(ps[0], cmgf_, 0, 1) ? Result{} : Result{Final::Error, 0};
      case F::Action: return {Final::Error, 0};
    }
  }
  if (n == "+CSMS") {
    switch (cmd.form) {
      case F::Test: Info("+CSMS: (0,1)"); return {};
      case F::Read: Info("+CSMS: " + std::to_string(csms_) + ",1,1,1"); return {};
      case F::Set:
        if (ps.size() != 1 || !ToInt(ps[0], csms_, 0, 1)) return {Final::Cms, kCmsNotSupported};
        Info("+CSMS: 1,1,1");
        return {};
      case F::Action: return {Final::Error, 0};
    }
  }
  if (n == "+CNMI") return Cnmi(cmd);
  if (n == "+CMGL") return Cmgl(cmd);
  if (n == "+CMGR") return Cmgr(cmd);
  if (n == "+CMGD") return Cmgd(cmd);
  if (n == "+CMGS") return CmgsOrCmgw(cmd, false);
  if (n == "+CMGW") return CmgsOrCmgw(cmd, true);
  if (n == "+CMSS") return Cmss(cmd);
  if (n == "+CBC") {
    if (cmd.form == F::Test) Info("+CBC: (0-3),(0-100)");
    else if (cmd.form == F::Action)
      Info("+CBC: " + std::to_string(settings.batteryStatus) + "," + std::to_string(settings.batteryLevel));
    else return {Final::Error, 0};
    return {};
  }
  if (n == "+CSQ") {
    if (cmd.form == F::Test) Info("+CSQ: (0-31,99),(0-7,99)");
    else if (cmd.form == F::Action) Info("+CSQ: " + std::to_string(settings.rssi) + "," + std::to_string(settings.ber));
    else return {Final::Error, 0};
    return {};
  }
  if (n == "+CPAS") {
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
  if (n == "+CLCC") {
    if (cmd.form == F::Test) return {};
    if (cmd.form != F::Action) return {Final::Error, 0};
    for (const auto& c : calls_) {
      int type = c.number.empty() ? 128 : (c.number[0] == '+' ? 145 : 129);
      Info("+CLCC: " + std::to_string(c.id) + "," + std::to_string(c.direction) + "," + std::to_string(c.state) +
           ",0,0," + QuoteText(c.number) + "," + std::to_string(type));
    }
    return {};
  }
  if (n == "+CHUP") {
    if (cmd.form == F::Test) return {};
    if (cmd.form != F::Action) return {Final::Error, 0};
    calls_.clear();
    return {};
  }
  if (n == "+CLIP" || n == "+CREG" || n == "+CMEE") {
    int& value = n == "+CLIP" ? clip_ : (n == "+CREG" ? creg_ : cmee_);
    int max = n == "+CLIP" ? 1 : 2;
    switch (cmd.form) {
      case F::Test: Info(n + ": (0-" + std::to_string(max) + ")"); return {};
      case F::Read:
        if (n == "+CLIP") Info("+CLIP: " + std::to_string(clip_) + ",1");
        else if (n == "+CREG")
          Info("+CREG: " + std::to_string(creg_) + "," + std::to_string(RegistrationNow()) +
               (creg_ == 2 ? ",\"0001\",\"0001\"" : ""));
        else Info("+CMEE: " + std::to_string(cmee_));
        return {};
      case F::Set: return ps.size() == 1 && ToInt(ps[0], value, 0, max) ? Result{} : CmeError(kCmeNotSupported);
      case F::Action: return {Final::Error, 0};
    }
  }
  if (n == "+CPIN") return Cpin(cmd);
  return {Final::Error, 0};
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

Modem::Result Modem::Csca(const Command& cmd) {
  using F = Command::Form;
  if (cmd.form == F::Test) return {};
  if (cmd.form == F::Read) {
    std::string number = SmscText();
    Info("+CSCA: " + QuoteText(number) + "," + std::to_string(number.empty() ? 129 : settings.smscType));
    return {};
  }
  if (cmd.form != F::Set) return {Final::Error, 0};
  std::vector<Param> ps;
  if (!SplitParams(cmd.args, ps) || ps.empty() || ps.size() > 2 || !ps[0].present) return {Final::Error, 0};
  std::string number = ps[0].value;
  if (cscs_ == "UCS2" && ps[0].quoted && number.size() % 4 == 0 && !number.empty()) {
    Bytes raw;
    if (!FromHex(number, raw)) return {Final::Error, 0};
    number.clear();
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
      if (raw[i] != 0) return {Final::Error, 0};
      number.push_back(static_cast<char>(raw[i + 1]));
    }
  }
  std::string digits;
  int type;
  if (!SplitNumber(number, digits, type)) return {Final::Cms, kCmsNotAllowed};
  if (ps.size() == 2 && ps[1].present && !ToInt(ps[1], type, 128, 255)) return {Final::Error, 0};
  settings.smscDigits = digits;
  settings.smscType = type;
  return {};
}

Modem::Result Modem::Cnmi(const Command& cmd) {
  using F = Command::Form;
  switch (cmd.form) {
    case F::Test: Info("+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)"); return {};
    case F::Read: {
      std::string s = "+CNMI: ";
      for (int i = 0; i < 5; ++i) {
        if (i) s += ',';
        s += std::to_string(cnmi_[i]);
      }
      Info(s);
      return {};
    }
    case F::Set: {
      std::vector<Param> ps;
      static constexpr int kMax[5] = {2, 3, 2, 2, 1};
      if (!SplitParams(cmd.args, ps) || ps.size() > 5) return {Final::Error, 0};
      int next[5];
      std::copy(std::begin(cnmi_), std::end(cnmi_), next);
      for (std::size_t i = 0; i < ps.size(); ++i) {
        if (!ps[i].present) continue;
        if (!ToInt(ps[i], next[i], 0, kMax[i]) || (i == 2 && next[i] == 1)) return {Final::Cms, kCmsNotSupported};
      }
      std::copy(std::begin(next), std::end(next), cnmi_);
      return {};
    }
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Cpms(const Command& cmd) {
  using F = Command::Form;
  auto counts = [&](Memory m) { return std::to_string(store_.Used(m)) + "," + std::to_string(store_.Total(m)); };
  switch (cmd.form) {
    case F::Test: {
      std::string list = "(";
      for (std::size_t i = 0; i < settings.memories.size(); ++i)
        list += std::string(i ? "," : "") + "\"" + MemoryName(settings.memories[i]) + "\"";
      list += ")";
      Info("+CPMS: " + list + "," + list + "," + list);
      return {};
    }
    case F::Read: {
      std::string s = "+CPMS: ";
      Memory ms[3] = {mem1_, mem2_, mem3_};
      for (int i = 0; i < 3; ++i) s += std::string(i ? "," : "") + "\"" + MemoryName(ms[i]) + "\"," + counts(ms[i]);
      Info(s);
      return {};
    }
    case F::Set: {
      std::vector<Param> ps;
      if (!SplitParams(cmd.args, ps) || ps.size() > 3 || !ps[0].present) return {Final::Error, 0};
      Memory chosen[3] = {mem1_, mem2_, mem3_};
      for (std::size_t i = 0; i < ps.size(); ++i) {
        if (!ps[i].present) continue;
        auto m = ParseMemory(ps[i].value);
        if (!m || std::find(settings.memories.begin(), settings.memories.end(), *m) == settings.memories.end())
          return {Final::Cms, kCmsNotAllowed};
        chosen[i] = *m;
      }
      mem1_ = chosen[0];
      mem2_ = chosen[1];
      mem3_ = chosen[2];
      Info("+CPMS: " + counts(mem1_) + "," + counts(mem2_) + "," + counts(mem3_));
      return {};
    }
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

namespace {
std::string ListingHeader(const char* prefix, int index, const StoredMessage& m) {
  int smsc = SmscFieldLength(m.pdu);
  int length = static_cast<int>(m.pdu.size()) - std::max(smsc, 0);
  std::string head = std::string(prefix);
  if (index > 0) head += std::to_string(index) + ",";
  return head + std::to_string(static_cast<int>(m.state)) + ",," + std::to_string(length);
}
}  // namespace

Modem::Result Modem::Cmgl(const Command& cmd) {
  using F = Command::Form;
  if (cmd.form == F::Test) {
    Info(cmgf_ == 0 ? "+CMGL: (0-4)" : "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")");
    return {};
  }
  if (cmd.form == F::Read) return {Final::Error, 0};
  if (cmgf_ != 0) return {Final::Cms, kCmsNotAllowed};  // listing is offered in PDU mode only
  int stat = 0;  // AT+CMGL alone lists the received unread messages
  if (cmd.form == F::Set) {
    std::vector<Param> ps;
    if (!SplitParams(cmd.args, ps) || ps.size() != 1 || !ToInt(ps[0], stat, 0, 4)) return {Final::Cms, kCmsNotAllowed};
  }
  std::vector<std::string> lines;
  for (auto& [index, m] : store_.List(mem1_)) {
    if (stat != 4 && static_cast<int>(m->state) != stat) continue;
    lines.push_back(ListingHeader("+CMGL: ", index, *m));
    lines.push_back(ToHex(m->pdu));
    if (m->state == MessageState::ReceivedUnread) m->state = MessageState::ReceivedRead;
  }
  if (!lines.empty()) {
    std::string block;
    for (std::size_t i = 0; i < lines.size(); ++i) block += (i ? "\r\n" : "") + lines[i];
    Info(block);
  }
  return {};
}

Modem::Result Modem::Cmgr(const Command& cmd) {
  if (cmd.form == Command::Form::Test) return {};
  if (cmd.form != Command::Form::Set) return {Final::Error, 0};
  if (cmgf_ != 0) return {Final::Cms, kCmsNotAllowed};
  std::vector<Param> ps;
  int index = 0;
  if (!SplitParams(cmd.args, ps) || ps.size() != 1 || !ToInt(ps[0], index, 0, 99999)) return {Final::Error, 0};
  StoredMessage* m = store_.At(mem1_, index);
  if (!m) return {Final::Cms, kCmsInvalidIndex};
  Info(ListingHeader("+CMGR: ", 0, *m) + "\r\n" + ToHex(m->pdu));
  if (m->state == MessageState::ReceivedUnread) m->state = MessageState::ReceivedRead;
  return {};
}

Modem::Result Modem::Cmgd(const Command& cmd) {
  if (cmd.form == Command::Form::Test) {
    std::string used;
    for (auto& [index, m] : store_.List(mem1_)) {
      if (!used.empty()) used += ',';
      used += std::to_string(index);
    }
    Info("+CMGD: (" + used + "),(0-4)");
    return {};
  }
  if (cmd.form != Command::Form::Set) return {Final::Error, 0};
  std::vector<Param> ps;
  int index = 0, flag = 0;
  if (!SplitParams(cmd.args, ps) || ps.size() > 2 || !ToInt(ps[0], index, 0, 99999)) return {Final::Error, 0};
  if (ps.size() == 2 && ps[1].present && !ToInt(ps[1], flag, 0, 4)) return {Final::Error, 0};
  if (flag == 0) {
    if (!store_.ValidIndex(mem1_, index)) return {Final::Cms, kCmsInvalidIndex};
    store_.Erase(mem1_, index);  // an empty slot is not an error
    return {};
  }
  // Bulk delete (TS 27.005 <delflag>): 1 read, 2 read and sent, 3 read, sent
  // and unsent, 4 all; the index is ignored.
  for (auto& [i, m] : store_.List(mem1_)) {
    auto s = m->state;
    bool erase = flag == 4 || s == MessageState::ReceivedRead ||
                 (flag >= 2 && s == MessageState::StoredSent) || (flag >= 3 && s == MessageState::StoredUnsent);
    if (erase) store_.Erase(mem1_, i);
  }
  return {};
}

Modem::Result Modem::CmgsOrCmgw(const Command& cmd, bool write) {
  if (cmd.form == Command::Form::Test) return {};
  if (cmgf_ != 0) return {Final::Cms, kCmsNotAllowed};
  if (cmd.form != Command::Form::Set) return {Final::Error, 0};
  std::vector<Param> ps;
  int length = 0, stat = 2;
  if (!SplitParams(cmd.args, ps) || ps.size() > (write ? 2u : 1u) || !ps[0].present) return {Final::Error, 0};
  if (!ToInt(ps[0], length, 0, 99999)) return {Final::Cms, kCmsInvalidPdu};
  if (length < 1 || length > kMaxTpdu) return {Final::Cms, kCmsInvalidPdu};
  if (write && ps.size() == 2 && ps[1].present && !ToInt(ps[1], stat, 0, 3)) return {Final::Cms, kCmsInvalidPdu};
  promptWrite_ = write;
  promptLength_ = length;
  promptState_ = static_cast<MessageState>(stat);
  pduText_.clear();
  pduOverflow_ = false;
  inPrompt_ = true;
  return {Final::Prompt, 0};
}

void Modem::FinishPdu(bool cancelled) {
  inPrompt_ = false;
  std::string text;
  text.swap(pduText_);
  auto flushHeld = [&] {
    auto held = std::move(heldUnsolicited_);
    heldUnsolicited_.clear();
    for (auto& u : held) Emit(OutputKind::Unsolicited, std::move(u));
  };
  if (cancelled) {  // ESC: back to command mode without a result
    flushHeld();
    return;
  }
  auto cms = [](int code) { return "\r\n+CMS ERROR: " + std::to_string(code) + "\r\n"; };
  std::string reply;
  if (auto f = MatchFault("PDU")) {
    switch (f->kind) {
      case Fault::Kind::Error: reply = "\r\nERROR\r\n"; break;
      case Fault::Kind::CmsError: reply = cms(f->code); break;
      case Fault::Kind::CmeError: reply = "\r\n+CME ERROR: " + std::to_string(f->code) + "\r\n"; break;
      case Fault::Kind::Reply: reply = f->reply; break;
      case Fault::Kind::Silent: break;
    }
  } else {
    Bytes pdu;
    int smsc = -1;
    if (!pduOverflow_ && FromHex(text, pdu)) smsc = SmscFieldLength(pdu);
    Bytes tpdu;
    if (smsc >= 0) tpdu.assign(pdu.begin() + smsc, pdu.end());
    bool tpduOk = smsc >= 0 && static_cast<int>(tpdu.size()) == promptLength_;
    if (tpduOk && !promptWrite_) tpduOk = CheckSubmit(tpdu).empty();
    if (tpduOk && promptWrite_ && !tpdu.empty() && (tpdu[0] & 0x03) == 0x01) tpduOk = CheckSubmit(tpdu).empty();
    if (!tpduOk) {
      reply = cms(kCmsInvalidPdu);
    } else if (promptWrite_) {
      int index = store_.Store(mem2_, StoredMessage{pdu, promptState_});
      reply = index > 0 ? "\r\n+CMGW: " + std::to_string(index) + "\r\n\r\nOK\r\n" : cms(kCmsMemoryFull);
    } else {
      int mr = nextReference_;
      nextReference_ = (nextReference_ + 1) % 256;
      submissions_.push_back(Submission{++submissionCount_, mr, ToHex(pdu)});
      reply = "\r\n+CMGS: " + std::to_string(mr) + "\r\n\r\nOK\r\n";
    }
  }
  Emit(OutputKind::Reply, reply);
  flushHeld();
}

Modem::Result Modem::Cmss(const Command& cmd) {
  if (cmd.form == Command::Form::Test) return {};
  if (cmd.form != Command::Form::Set) return {Final::Error, 0};
  std::vector<Param> ps;
  int index = 0;
  if (!SplitParams(cmd.args, ps) || ps.empty() || !ToInt(ps[0], index, 0, 99999)) return {Final::Error, 0};
  StoredMessage* m = store_.At(mem2_, index);
  if (!m) return {Final::Cms, kCmsInvalidIndex};
  int smsc = SmscFieldLength(m->pdu);
  Bytes tpdu(m->pdu.begin() + std::max(smsc, 0), m->pdu.end());
  if (smsc < 0 || !CheckSubmit(tpdu).empty()) return {Final::Cms, kCmsNotAllowed};
  int mr = nextReference_;
  nextReference_ = (nextReference_ + 1) % 256;
  submissions_.push_back(Submission{++submissionCount_, mr, ToHex(m->pdu)});
  m->state = MessageState::StoredSent;
  Info("+CMSS: " + std::to_string(mr));
  return {};
}

bool Modem::RoutesDirectly(bool statusReport) const {
  if (cnmi_[0] == 0) return false;
  return statusReport ? cnmi_[3] == 1 : cnmi_[1] == 2;
}

int Modem::Deliver(const Bytes& pdu, std::optional<Memory> target, MessageState state) {
  int smsc = SmscFieldLength(pdu);
  int length = static_cast<int>(pdu.size()) - std::max(smsc, 0);
  bool statusReport = smsc >= 0 && static_cast<std::size_t>(smsc) < pdu.size() && (pdu[smsc] & 0x03) == 0x02;
  bool indications = cnmi_[0] != 0;
  bool received = state == MessageState::ReceivedUnread;
  if (received && !target && RoutesDirectly(statusReport)) {
    // Straight to the host, not stored (TS 27.005 +CNMI <mt>=2, <ds>=1).
    Unsolicited(std::string(statusReport ? "\r\n+CDS: " : "\r\n+CMT: ,") + std::to_string(length) + "\r\n" +
                ToHex(pdu) + "\r\n");
    return -1;
  }
  Memory memory = target.value_or(mem3_);
  int index = store_.Store(memory, StoredMessage{pdu, state});
  if (index > 0 && received && indications) {
    bool notify = statusReport ? cnmi_[3] == 2 : (cnmi_[1] == 1 || cnmi_[1] == 3 || cnmi_[1] == 2);
    if (notify)
      Unsolicited(std::string("\r\n") + (statusReport ? "+CDSI: \"" : "+CMTI: \"") + MemoryName(memory) + "\"," +
                  std::to_string(index) + "\r\n");
  }
  return index;
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
  return ringing ? nextRing_ : -1;
}

void Modem::Tick(Millis now) {
  lastTick_ = now;
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
