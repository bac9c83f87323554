// The control commands about the device: its state, calls, battery,
// radio, SIM, timing, injected faults and noise, identity, and the line.
#include "ControlCommands.h"

namespace pdulink::phone::control {

void Status(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  w.End();
  c.Say(m.StateSummary());
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

}  // namespace pdulink::phone::control
