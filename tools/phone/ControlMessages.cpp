// The control commands about messages: delivering texts, PDUs and status
// reports, automatic reports, message references, the service centre and
// the message store.
#include "ControlCommands.h"

namespace pdulink::phone::control {

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

void NextMr(Request& c) {
  Words& w = c.w;
  Modem& m = c.m;
  m.SetNextReference(static_cast<int>(Number(w.Next("message reference"), "message reference", 0, 255)));
  w.End();
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

namespace {

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

}  // namespace

void Dump(Request& c) { DumpOrClear(c, false); }
void Clear(Request& c) { DumpOrClear(c, true); }

}  // namespace pdulink::phone::control
