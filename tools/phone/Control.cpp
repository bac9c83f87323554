#include "Control.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

namespace pdulink::phone {
namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Lower(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return out;
}

// Reads words off the front of a line; the remainder can be taken raw.
class Words {
 public:
  explicit Words(std::string_view text) : text_(text) {}
  bool Empty() {
    SkipBlanks();
    return pos_ >= text_.size();
  }
  // A blank-separated word; "double quoted" words may hold blanks.
  std::string Next(const char* what) {
    SkipBlanks();
    if (pos_ >= text_.size()) throw Failure(std::string("missing ") + what);
    std::string word;
    if (text_[pos_] == '"') {
      auto end = text_.find('"', pos_ + 1);
      if (end == std::string_view::npos) throw Failure("unterminated quote");
      word = std::string(text_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
    } else {
      auto end = text_.find_first_of(" \t", pos_);
      if (end == std::string_view::npos) end = text_.size();
      word = std::string(text_.substr(pos_, end - pos_));
      pos_ = end;
    }
    return word;
  }
  bool PeekOption() {
    SkipBlanks();
    auto end = text_.find_first_of(" \t", pos_);
    auto word = text_.substr(pos_, end == std::string_view::npos ? std::string_view::npos : end - pos_);
    // An option's key is a word of letters: "+CPMS=?" or "AT+CLCC=?" after
    // "fail" is a command pattern, not an option.
    auto eq = word.find('=');
    if (word.empty() || eq == 0 || eq == std::string_view::npos) return false;
    return std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(eq),
                       [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
  }
  // key=value options before the positional words.
  std::map<std::string, std::string> Options(std::initializer_list<const char*> allowed) {
    std::map<std::string, std::string> out;
    while (PeekOption()) {
      std::string word = Next("option");
      auto eq = word.find('=');
      std::string key = Lower(word.substr(0, eq));
      if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; }))
        throw Failure("unknown option " + key);
      out[key] = word.substr(eq + 1);
    }
    return out;
  }
  // Everything after the words taken so far, with one separating blank dropped.
  std::string Rest() {
    if (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    std::string rest(text_.substr(std::min(pos_, text_.size())));
    pos_ = text_.size();
    return rest;
  }
  void End() {
    if (!Empty()) throw Failure("unexpected \"" + Next("word") + "\"");
  }

 private:
  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  std::string_view text_;
  std::size_t pos_ = 0;
};

long Number(const std::string& text, const char* what, long lo, long hi) {
  std::size_t used = 0;
  long v = 0;
  bool ok = !text.empty();
  try {
    v = std::stol(text, &used, text.size() > 2 && (text[1] == 'x' || text[1] == 'X') ? 16 : 10);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok || used != text.size() || v < lo || v > hi)
    throw Failure(std::string(what) + " must be a number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

Memory MemoryOption(const Modem& modem, const std::string& name) {
  auto m = ParseMemory(name);
  if (!m) throw Failure("unknown memory " + name + " (SM, ME or MT)");
  const auto& available = modem.settings.memories;
  if (std::find(available.begin(), available.end(), *m) == available.end())
    throw Failure("memory " + std::string(MemoryName(*m)) + " is not available");
  return *m;
}

Timestamp TimeOption(const std::map<std::string, std::string>& options) {
  auto it = options.find("time");
  if (it == options.end()) return NowTimestamp();
  Timestamp ts;
  if (!ParseTimestamp(it->second, ts)) throw Failure("time must look like 050619222217+12");
  return ts;
}

int FreeSlots(Modem& modem, Memory memory) {
  return modem.Store().Total(memory) - modem.Store().Used(memory);
}

}  // namespace

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out.push_back(c);
      continue;
    }
    char e = text[i + 1];
    auto hex = [](char h) -> int {
      if (h >= '0' && h <= '9') return h - '0';
      h = static_cast<char>(std::tolower(static_cast<unsigned char>(h)));
      return h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
    };
    switch (e) {
      case 'r': out.push_back('\r'); ++i; break;
      case 'n': out.push_back('\n'); ++i; break;
      case 't': out.push_back('\t'); ++i; break;
      case '\\': out.push_back('\\'); ++i; break;
      case '"': out.push_back('"'); ++i; break;
      case 'x':
        if (i + 3 < text.size() + 0 && hex(text[i + 2]) >= 0 && hex(text[i + 3]) >= 0) {
          out.push_back(static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
          i += 3;
          break;
        }
        [[fallthrough]];
      default: out.push_back(c); break;
    }
  }
  return out;
}

namespace {

// One control command in progress: its words, the phone, the actions for
// the I/O loop, and the reply so far.
struct Request {
  Words& w;
  Modem& m;
  ControlActions& actions;
  int& nextConcatReference;
  const std::function<Millis()>& clock;
  std::string& out;
  void Say(const std::string& line) { out += line + "\n"; }
};

void Help(Request& c) {
  Words& w = c.w;
  w.End();
  c.out += Control::HelpText();
}

void Status(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  w.End();
  c.Say(m.StateSummary());
}

void Deliver(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"mem", "ref", "coding", "class", "smsc", "time", "during"});
  DeliverRequest req;
  req.sender = w.Next("sender");
  req.text = Unescape(w.Rest());
  req.time = TimeOption(opt);
  req.smsc = opt.count("smsc") ? opt["smsc"] : m.SmscText();
  if (opt.count("class")) req.messageClass = static_cast<int>(Number(opt["class"], "class", 0, 3));
  std::string coding = opt.count("coding") ? Lower(opt["coding"]) : "auto";
  if (coding != "auto" && coding != "gsm" && coding != "ucs2") throw Failure("coding must be auto, gsm or ucs2");
  req.forceUcs2 = coding == "ucs2";
  bool explicitRef = opt.count("ref") != 0;
  req.reference = explicitRef ? static_cast<int>(Number(opt["ref"], "ref", 0, 255)) : c.nextConcatReference;
  std::optional<Memory> target;
  if (opt.count("mem")) target = MemoryOption(m, opt["mem"]);
  std::vector<Bytes> pdus;
  std::string error;
  if (!BuildDeliver(req, pdus, error)) throw Failure(error);
  if (coding == "gsm") {
    std::u32string text;
    Bytes septets;
    if (!DecodeUtf8(req.text, text) || !ToGsmSeptets(text, septets))
      throw Failure("text has characters outside the GSM alphabet");
  }
  if (pdus.size() > 1 && !explicitRef) c.nextConcatReference = (c.nextConcatReference + 1) % 256;
  if (opt.count("during")) {
    m.DeliverDuring(opt["during"], std::move(pdus), target);
    c.Say("held for " + opt["during"]);
    return;
  }
  Memory memory = target.value_or(m.ReceiveMemory());
  if ((target || !m.RoutesDirectly(false)) && FreeSlots(m, memory) < static_cast<int>(pdus.size()))
    throw Failure(std::string("memory ") + MemoryName(memory) + " full (" +
                  std::to_string(m.Store().Used(memory)) + " of " + std::to_string(m.Store().Total(memory)) +
                  " used, " + std::to_string(pdus.size()) + " needed)");
  for (const auto& pdu : pdus) {
    int index = m.Deliver(pdu, target);
    c.Say(index < 0 ? "routed " + ToHex(pdu) : std::string("stored ") + MemoryName(memory) + " " + std::to_string(index));
  }
}

void DeliverPdu(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"mem", "state"});
  std::string hex = w.Next("PDU");
  w.End();
  Bytes pdu;
  if (!FromHex(hex, pdu)) throw Failure("PDU is not hexadecimal");
  int smsc = SmscFieldLength(pdu);
  if (smsc < 0 || smsc > 12) throw Failure("service-centre field does not fit");
  if (pdu.size() == static_cast<std::size_t>(smsc)) throw Failure("PDU has no TPDU after the service-centre field");
  if (pdu.size() - static_cast<std::size_t>(smsc) > 255) throw Failure("TPDU longer than 255 octets");
  auto state = static_cast<MessageState>(opt.count("state") ? Number(opt["state"], "state", 0, 3) : 0);
  std::optional<Memory> target;
  if (opt.count("mem")) target = MemoryOption(m, opt["mem"]);
  Memory memory = target.value_or(m.ReceiveMemory());
  int index = m.Deliver(pdu, target, state);
  if (index == 0) throw Failure(std::string("memory ") + MemoryName(memory) + " full");
  c.Say(index < 0 ? "routed " + ToHex(pdu) : std::string("stored ") + MemoryName(memory) + " " + std::to_string(index));
}

void StatusReport(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"mem", "smsc", "time", "pi"});
  int mr = static_cast<int>(Number(w.Next("message reference"), "message reference", 0, 255));
  std::string recipient = w.Next("recipient");
  int status = static_cast<int>(Number(w.Next("status"), "status", 0, 255));
  w.End();
  Bytes pdu;
  std::string error;
  if (!BuildStatusReport(opt.count("smsc") ? opt["smsc"] : m.SmscText(), mr, recipient, status, TimeOption(opt), pdu,
                         error))
    throw Failure(error);
  // TP-PI, optional in TS 23.040 9.2.2.3; left out unless asked for.
  if (opt.count("pi")) pdu.push_back(static_cast<std::uint8_t>(Number(opt["pi"], "pi", 0, 255)));
  std::optional<Memory> target;
  if (opt.count("mem")) target = MemoryOption(m, opt["mem"]);
  Memory memory = target.value_or(m.ReceiveMemory());
  int index = m.Deliver(pdu, target);
  if (index == 0) throw Failure(std::string("memory ") + MemoryName(memory) + " full");
  c.Say(index < 0 ? "routed " + ToHex(pdu) : std::string("stored ") + MemoryName(memory) + " " + std::to_string(index));
}

void Reports(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"delay", "status"});
  std::string state = Lower(w.Next("on or off"));
  w.End();
  if (state != "on" && state != "off") throw Failure("say on or off");
  if (opt.count("delay")) m.settings.reportDelayMs = Number(opt["delay"], "delay", 0, 600000);
  if (opt.count("status")) {
    std::vector<int> statuses;
    const std::string& list = opt["status"];
    for (std::size_t start = 0;;) {
      std::size_t comma = list.find(',', start);
      statuses.push_back(static_cast<int>(Number(list.substr(start, comma - start), "status", 0, 255)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    m.settings.reportStatuses = statuses;
  }
  m.settings.autoReports = state == "on";
}

// The memories of a list "SM,ME".
std::vector<Memory> MemoryList(const std::string& list) {
  std::vector<Memory> memories;
  std::string token;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i == list.size() || list[i] == ',' || list[i] == ' ') {
      if (!token.empty()) {
        auto mem = ParseMemory(token);
        if (!mem) throw Failure("unknown memory " + token + " (SM, ME or MT)");
        if (std::find(memories.begin(), memories.end(), *mem) == memories.end()) memories.push_back(*mem);
      }
      token.clear();
    } else {
      token.push_back(list[i]);
    }
  }
  if (memories.empty()) throw Failure("missing memories");
  return memories;
}

void NoiseCommand(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"place", "rate", "seed", "gap", "hold", "modes", "receive"});
  std::string state = Lower(w.Next("on or off"));
  w.End();
  if (state != "on" && state != "off") throw Failure("say on or off");
  Noise noise = m.NoiseSettings();
  if (opt.count("place")) {
    static const std::map<std::string, Noise::Place> kPlaces = {{"between", Noise::Place::Between},
                                                                {"before-pdu", Noise::Place::BeforePdu},
                                                                {"after-pdu", Noise::Place::AfterPdu},
                                                                {"split", Noise::Place::Split},
                                                                {"random", Noise::Place::Random}};
    auto it = kPlaces.find(Lower(opt["place"]));
    if (it == kPlaces.end()) throw Failure("place: between, before-pdu, after-pdu, split or random");
    noise.place = it->second;
  }
  if (opt.count("rate")) noise.rate = static_cast<int>(Number(opt["rate"], "rate", 0, 100));
  if (opt.count("seed")) noise.seed = static_cast<std::uint32_t>(Number(opt["seed"], "seed", 0, 0xFFFFFFFF));
  if (opt.count("gap")) noise.gapMs = Number(opt["gap"], "gap", 0, 60000);
  if (opt.count("hold")) noise.holdMs = Number(opt["hold"], "hold", 0, 600000);
  if (opt.count("modes")) {
    std::vector<int> modes;
    for (char ch : opt["modes"]) {
      if (ch == ',') continue;
      if (ch < '0' || ch > '3') throw Failure("modes: digits 0 to 3, e.g. 1,3");
      modes.push_back(ch - '0');
    }
    if (modes.empty()) throw Failure("missing modes");
    m.settings.indicationModes = modes;
  }
  if (opt.count("receive")) m.settings.receiveMemories = MemoryList(opt["receive"]);
  noise.on = state == "on";
  m.SetNoise(noise);
}

void NextMr(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  m.SetNextReference(static_cast<int>(Number(w.Next("message reference"), "message reference", 0, 255)));
  w.End();
}

void Ring(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  std::string number = w.Empty() ? "" : w.Next("number");
  w.End();
  if (!number.empty() && number.find_first_not_of("+0123456789*#") != std::string::npos)
    throw Failure("number may hold digits, +, * and # only");
  if (!m.StartRing(number, c.clock())) throw Failure("too many calls");
}

void RingStop(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  w.End();
  m.RemoteHangup();
}

void RingInterval(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  m.settings.ringIntervalMs = Number(w.Next("interval"), "interval", 100, 600000);
  w.End();
}

void Battery(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  int level = static_cast<int>(Number(w.Next("level"), "level", 0, 100));
  int status = w.Empty() ? m.settings.batteryStatus : static_cast<int>(Number(w.Next("status"), "status", 0, 3));
  w.End();
  m.settings.batteryLevel = level;
  m.settings.batteryStatus = status;
}

void Signal(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  int rssi = static_cast<int>(Number(w.Next("rssi"), "rssi", 0, 99));
  int ber = w.Empty() ? m.settings.ber : static_cast<int>(Number(w.Next("ber"), "ber", 0, 99));
  w.End();
  m.settings.rssi = rssi;
  m.settings.ber = ber;
}

void Sim(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"pin", "puk", "delay", "busy"});
  auto code = [&](const char* name) {
    const std::string& v = opt[name];
    if (v.size() < 4 || v.size() > 8 || v.find_first_not_of("0123456789") != std::string::npos)
      throw Failure(std::string(name) + " must be 4 to 8 digits");
    return v;
  };
  if (opt.count("pin")) m.settings.pin = code("pin");
  if (opt.count("puk")) m.settings.puk = code("puk");
  if (opt.count("delay")) m.settings.simReadyDelayMs = Number(opt["delay"], "delay", 0, 600000);
  if (!w.Empty()) {
    std::string state = Lower(w.Next("state"));
    static const std::pair<const char*, SimState> kStates[] = {{"ready", SimState::Ready},
                                                               {"pin", SimState::Pin},
                                                               {"puk", SimState::Puk},
                                                               {"pin2", SimState::Pin2},
                                                               {"absent", SimState::Absent}};
    auto it = std::find_if(std::begin(kStates), std::end(kStates), [&](const auto& k) { return state == k.first; });
    if (it == std::end(kStates)) throw Failure("state must be ready, pin, puk, pin2 or absent");
    m.SetSim(it->second);
  }
  if (opt.count("busy")) m.SimBusyFor(Number(opt["busy"], "busy", 0, 600000));
  w.End();
}

void Creg(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  int stat = static_cast<int>(Number(w.Next("stat"), "stat", 0, 10));
  w.End();
  m.SetRegistration(stat);
}

void Latency(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  m.settings.latencyMs = Number(w.Next("milliseconds"), "latency", 0, 600000);
  w.End();
}

void Chunks(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  std::string first = w.Next("chunk size");
  if (Lower(first) == "off") {
    m.settings.chunkSize = 0;
    m.settings.chunkPauseMs = 0;
  } else {
    int size = static_cast<int>(Number(first, "chunk size", 0, 65536));
    Millis pause = Number(w.Next("pause"), "pause", 0, 60000);
    m.settings.chunkSize = size;
    m.settings.chunkPauseMs = pause;
  }
  w.End();
}

void Fail(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto opt = w.Options({"times"});
  Fault f;
  f.pattern = w.Next("command");
  if (opt.count("times")) f.remaining = static_cast<int>(Number(opt["times"], "times", 1, 1000000));
  std::string kind = Lower(w.Next("kind"));
  if (kind == "error") {
    f.kind = Fault::Kind::Error;
  } else if (kind == "cms" || kind == "cme") {
    f.kind = kind == "cms" ? Fault::Kind::CmsError : Fault::Kind::CmeError;
    f.code = static_cast<int>(Number(w.Next("error code"), "error code", 0, 65535));
  } else if (kind == "silent") {
    f.kind = Fault::Kind::Silent;
  } else if (kind == "reply") {
    f.kind = Fault::Kind::Reply;
    f.reply = Unescape(w.Rest());
    if (f.reply.empty()) throw Failure("missing reply text");
  } else {
    throw Failure("kind must be error, cms, cme, silent or reply");
  }
  w.End();
  m.AddFault(std::move(f));
}

void Unfail(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  std::string pattern = w.Empty() ? "" : w.Next("command");
  w.End();
  c.Say("cleared " + std::to_string(m.ClearFaults(pattern)));
}

void Faults(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  w.End();
  for (const auto& f : m.Faults()) {
    static const char* kKinds[] = {"error", "cms", "cme", "reply", "silent"};
    std::string s = "fault AT" + f.pattern + " " + kKinds[static_cast<int>(f.kind)];
    if (f.kind == Fault::Kind::CmsError || f.kind == Fault::Kind::CmeError) s.append(" ").append(std::to_string(f.code));
    s += f.remaining < 0 ? " until-cleared" : " times=" + std::to_string(f.remaining);
    c.Say(s);
  }
}

void Smsc(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  std::string number = w.Next("number");
  w.End();
  if (Lower(number) == "none") {
    m.settings.smscDigits.clear();
    m.settings.smscType = 129;
  } else {
    bool plus = !number.empty() && number[0] == '+';
    std::string digits = plus ? number.substr(1) : number;
    if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string::npos)
      throw Failure("service centre must be digits with an optional leading +");
    m.settings.smscDigits = digits;
    m.settings.smscType = plus ? 145 : 129;
  }
}

void Memories(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  m.settings.memories = MemoryList(w.Rest());
  m.MemoriesChanged();
}

void Capacity(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  auto mem = ParseMemory(w.Next("memory"));
  int capacity = static_cast<int>(Number(w.Next("capacity"), "capacity", 0, 1000));
  w.End();
  if (!mem || *mem == Memory::MT) throw Failure("capacity applies to SM or ME");
  if (!m.Store().SetCapacity(*mem, capacity)) throw Failure("messages are stored beyond that capacity");
}

void Identity(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  std::string key = Lower(w.Next("key"));
  std::string value = w.Rest();
  if (value.empty() || value.find_first_of("\r\n\"") != std::string::npos) throw Failure("bad value");
  if (key == "manufacturer") m.settings.manufacturer = value;
  else if (key == "model") m.settings.model = value;
  else if (key == "revision") m.settings.revision = value;
  else if (key == "imei") m.settings.imei = value;
  else if (key == "imsi") m.settings.imsi = value;
  else throw Failure("key must be manufacturer, model, revision, imei or imsi");
}

void DumpOrClear(Request& c, bool clear) {
  Words& w = c.w;
  Modem& m = c.m;
  std::string what = w.Empty() ? "all" : Lower(w.Next("what"));
  w.End();
  if (what != "all" && what != "stored" && what != "submitted") throw Failure("say stored or submitted");
  bool stored = what != "submitted", submitted = what != "stored";
  if (clear) {
    if (stored) m.Store().Clear();
    if (submitted) m.ClearSubmissions();
  } else {
    for (Memory mem : {Memory::SM, Memory::ME}) {
      if (!stored) break;
      for (auto& [index, msg] : m.Store().List(mem))
        c.Say(std::string("stored ") + MemoryName(mem) + " " + std::to_string(index) + " " +
            std::to_string(static_cast<int>(msg->state)) + " " + ToHex(msg->pdu));
    }
    if (submitted)
      for (const auto& s : m.Submissions())
        c.Say("submitted " + std::to_string(s.sequence) + " " + std::to_string(s.messageReference) + " " + s.pduHex);
  }
}

void Dump(Request& c) { DumpOrClear(c, false); }
void Clear(Request& c) { DumpOrClear(c, true); }

void HangupLine(Request& c) {
  Words& w = c.w;
  w.End();
  c.actions.hangupLine = true;
}

void Restart(Request& c) {
  Words& w = c.w;
  w.End();
  c.m.PowerCycle();
}

void Replug(Request& c) {
  Words& w = c.w;
  w.End();
  c.actions.replug = true;
}

void Vanish(Request& c) {
  Words& w = c.w;
  w.End();
  c.actions.vanish = true;
}

// A command: its name, its arguments as help shows them, its handler, and
// whether help shows it on the line of the command above. Adding a command
// is adding a row.
struct Command {
  const char* name;
  const char* arguments;
  void (*handler)(Request&);
  bool sameHelpLine;
};

const Command kCommands[] = {
    {"deliver", "[mem=M] [ref=N] [coding=auto|gsm|ucs2] [class=N] [smsc=NUMBER] [time=YYMMDDhhmmss+Q] [during=COMMAND] SENDER TEXT",
     Deliver, false},
    {"deliver-pdu", "[mem=M] [state=0..3] HEX", DeliverPdu, false},
    {"status-report", "[mem=M] [smsc=NUMBER] [time=...] [pi=N] MR RECIPIENT STATUS", StatusReport, false},
    {"reports", "[delay=MS] [status=N[,N...]] on|off", Reports, false},
    {"next-mr", "N", NextMr, true},
    {"noise", "[place=between|before-pdu|after-pdu|split|random] [rate=PERCENT] [seed=N] [gap=MS] [hold=MS] "
              "[modes=1,3] [receive=SM,ME] on|off",
     NoiseCommand, false},
    {"ring", "[NUMBER]", Ring, false},
    {"ring-stop", "", RingStop, true},
    {"ring-interval", "MS", RingInterval, true},
    {"battery", "LEVEL [STATUS]", Battery, false},
    {"signal", "RSSI [BER]", Signal, true},
    {"sim", "[pin=CODE] [puk=CODE] [delay=MS] [busy=MS] [ready|pin|puk|pin2|absent]", Sim, false},
    {"creg", "STAT", Creg, true},
    {"latency", "MS", Latency, false},
    {"chunks", "SIZE PAUSE_MS | chunks off", Chunks, true},
    {"fail", "[times=N] PATTERN error|cms N|cme N|silent|reply TEXT", Fail, false},
    {"unfail", "[PATTERN]", Unfail, true},
    {"faults", "", Faults, true},
    {"smsc", "NUMBER|none", Smsc, false},
    {"memories", "SM[,ME[,MT]]", Memories, true},
    {"capacity", "SM|ME N", Capacity, true},
    {"identity", "KEY VALUE", Identity, true},
    {"dump", "[stored|submitted]", Dump, false},
    {"clear", "[stored|submitted]", Clear, true},
    {"status", "", Status, true},
    {"hangup-line", "", HangupLine, false},
    {"replug", "", Replug, true},
    {"restart", "", Restart, true},
    {"vanish", "", Vanish, true},
    {"help", "", Help, true},
};

}  // namespace

const char* Control::HelpText() {
  static const std::string text = [] {
    std::string out;
    for (const Command& cmd : kCommands) {
      if (!out.empty()) out.append(cmd.sameHelpLine ? " | " : "\n");
      out.append(cmd.name);
      if (*cmd.arguments) out.append(" ").append(cmd.arguments);
    }
    return out + "\n";
  }();
  return text.c_str();
}

std::string Control::Execute(std::string_view line, ControlActions& actions) {
  std::string out;
  try {
    Words w(line);
    if (w.Empty()) throw Failure("empty command");
    std::string verb = Lower(w.Next("command"));
    auto it = std::find_if(std::begin(kCommands), std::end(kCommands),
                           [&](const Command& cmd) { return verb == cmd.name; });
    if (it == std::end(kCommands)) throw Failure("unknown command " + verb + " (try help)");
    Request request{w, modem_, actions, nextConcatReference_, clock_, out};
    it->handler(request);
    out += "OK\n";
  } catch (const Failure& f) {
    out += std::string("ERROR ") + f.what() + "\n";
  }
  return out;
}

}  // namespace pdulink::phone
