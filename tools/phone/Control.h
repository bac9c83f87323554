// The control channel's command interpreter: one text line in, one reply out
// (information lines, then "OK" or "ERROR <reason>"). Acts on the Modem; the
// few commands that concern the device itself (hangup-line, replug, vanish)
// are handed back to the I/O loop as actions.
#pragma once

#include "Modem.h"

#include <functional>
#include <string>
#include <string_view>

namespace pdulink::phone {

struct ControlActions {
  bool hangupLine = false;  // close the pty and remove the link, keep running
  bool replug = false;      // open a fresh pty behind the link
  bool vanish = false;      // close everything and exit at once
};

// Decodes \r \n \t \\ \" and \xHH; other backslashes stay as they are.
std::string Unescape(std::string_view text);

class Control {
 public:
  Control(Modem& modem, std::function<Millis()> clock) : modem_(modem), clock_(std::move(clock)) {}

  // Reply lines, each ended by "\n"; the last is "OK" or "ERROR <reason>".
  std::string Execute(std::string_view line, ControlActions& actions);

  static const char* HelpText();

 private:
  Modem& modem_;
  std::function<Millis()> clock_;
  int nextConcatReference_ = 1;
};

}  // namespace pdulink::phone
