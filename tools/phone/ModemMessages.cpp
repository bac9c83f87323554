// Messages: the service centre, formats, storage, new-message indications,
// listing, reading, deleting, sending and writing (the PDU after the "> "
// prompt), and messages arriving from the network.
#include <cstdio>

#include "ModemParts.h"

namespace pdulink::phone {

using F = Modem::Command::Form;

const std::vector<Modem::CommandRow>& Modem::MessageCommands() {
  static const std::vector<CommandRow> rows = {
      {"+CSCA", &Modem::Csca, true},
      {"+CPMS", &Modem::Cpms, true},
      {"+CMGF", &Modem::Cmgf},
      {"+CSMS", &Modem::Csms},
      {"+CNMI", &Modem::Cnmi},
      {"+CMGL", &Modem::Cmgl, true},
      {"+CMGR", &Modem::Cmgr, true},
      {"+CMGD", &Modem::Cmgd, true},
      {"+CMGS", &Modem::Cmgs, true},
      {"+CMGW", &Modem::Cmgw, true},
      {"+CMSS", &Modem::Cmss, true},
  };
  return rows;
}

std::string Modem::SmscText() const {
  if (settings.smscDigits.empty()) return "";
  return (settings.smscType == 145 ? "+" : "") + settings.smscDigits;
}

Modem::Result Modem::Cmgf(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CMGF: (0,1)"); return {};
    case F::Read: Info("+CMGF: " + std::to_string(cmgf_)); return {};
    case F::Set: return ps.size() == 1 && ToInt(ps[0], cmgf_, 0, 1) ? Result{} : Result{Final::Error, 0};
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Csms(const Command& cmd) {
  std::vector<Param> ps = SetParams(cmd);
  switch (cmd.form) {
    case F::Test: Info("+CSMS: (0,1)"); return {};
    case F::Read: Info("+CSMS: " + std::to_string(csms_) + ",1,1,1"); return {};
    case F::Set:
      if (ps.size() != 1 || !ToInt(ps[0], csms_, 0, 1)) return {Final::Cms, kCmsNotSupported};
      Info("+CSMS: 1,1,1");
      return {};
    case F::Action: return {Final::Error, 0};
  }
  return {Final::Error, 0};
}

Modem::Result Modem::Cmgs(const Command& cmd) { return CmgsOrCmgw(cmd, false); }
Modem::Result Modem::Cmgw(const Command& cmd) { return CmgsOrCmgw(cmd, true); }

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
    case F::Test: {
      std::string modes;
      for (int mode : settings.indicationModes) modes += (modes.empty() ? "" : ",") + std::to_string(mode);
      Info("+CNMI: (" + modes + "),(0-3),(0,2),(0-2),(0,1)");
      return {};
    }
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
      const auto& modes = settings.indicationModes;
      if (next[0] != 0 && std::find(modes.begin(), modes.end(), next[0]) == modes.end())
        return {Final::Cms, kCmsNotSupported};
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
      // Received messages may be offered fewer memories than reading.
      std::string receive = list;
      if (!settings.receiveMemories.empty()) {
        receive = "(";
        for (std::size_t i = 0; i < settings.receiveMemories.size(); ++i)
          receive += std::string(i ? "," : "") + "\"" + MemoryName(settings.receiveMemories[i]) + "\"";
        receive += ")";
      }
      Info("+CPMS: " + list + "," + list + "," + receive);
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
        const auto& receive = settings.receiveMemories;
        if (i == 2 && !receive.empty() && std::find(receive.begin(), receive.end(), *m) == receive.end())
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
      ScheduleReports(tpdu, mr);
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

}  // namespace pdulink::phone
