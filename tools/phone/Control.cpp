// The control channel's command table, its help text and the interpreter
// that runs one line through it.
#include "Control.h"

#include <algorithm>
#include <iterator>

#include "ControlCommands.h"

namespace pdulink::phone {
namespace control {
namespace {

void Help(Request& c) {
  Words& w = c.w;
  w.End();
  c.out += Control::HelpText();
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
}  // namespace control

using control::Command;
using control::Failure;
using control::kCommands;
using control::Lower;
using control::Request;
using control::Words;

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
