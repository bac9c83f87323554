#pragma once
// The lines a phone sends on its own (TS 27.007 and TS 27.005): the
// new-message indications, the classifier that tells them from a reply, and
// the filter that takes a burst apart. Pure, no port.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- New-message indications (TS 27.005 3.4.1) ----

// One "+CMTI: <mem>,<index>" (a message stored) or "+CDSI: <mem>,<index>"
// (a status report stored) line.
struct Indication {
  bool report = false;  // +CDSI
  std::string memory;   // as the phone named it, quotes removed, upper case
  int index = -1;
};

// Reads one line (without its line end, blanks around it allowed); nothing
// when it is not a well-formed +CMTI or +CDSI line.
std::optional<Indication> ParseIndicationLine(std::string_view line);

// The fast mode's framing rule with indications on: a reply end as
// EndsWithReplyEnd says, or a complete +CMTI / +CDSI line at the very end, so
// that an indication is handed over without the quarter-second pause.
bool EndsWithReplyEndOrIndication(std::string_view bytes);

// ---- Unsolicited result codes ----
// A phone with indications, call or registration reports on speaks on its
// own at any moment: between commands, inside another command's reply, or
// split over two bursts. Such a line is never part of a reply.

enum class LineKind {
  Reply,        // part of the answer to the command asked
  Unsolicited,  // +CMTI, +CDSI, +CDS, +CMT, RING, +CRING, +CLIP, +CREG,
                // +CGREG, +CIEV, +CUSD, or a vendor line starting with "^"
  PowerOn,      // RDY, "+CPIN: READY" or "+CFUN: 1" unasked: the phone
                // started again and has lost its settings
};

// One complete line, without its line end. asked is the command the
// gateway waits on (may be empty): a "+NAME" line whose name the command
// holds is its answer ("+CREG: 0,1" to AT+CREG?, "+CPIN: READY" to AT+CPIN?).
LineKind ClassifyLine(std::string_view line, std::string_view asked);

// Whether a line that starts like this may still grow into an unsolicited
// line, or already is the start of one: such a tail is held until its line
// end comes.
bool MayBeUnsolicited(std::string_view start);

// Takes the phone's bursts apart into the reply and the unsolicited lines,
// with the state that spans bursts: a line cut between two bursts, and the
// PDU line that follows a "+CMT:" or "+CDS:" header. Pure, no port.
class UnsolicitedFilter {
 public:
  struct Split {
    std::string reply;                     // the burst without its unsolicited lines
    std::vector<std::string> unsolicited;  // each line with its line end
    int powerOn = 0;                       // power-on lines among them
    bool held = false;                     // the burst ends in a line held back
    bool Replied() const;                  // the reply holds more than line ends
    // Whether the burst is a reply at all: not when it held nothing but
    // unsolicited lines (or the start of one) and line ends.
    bool AnyReply() const { return Replied() || (unsolicited.empty() && !held && !reply.empty()); }
  };
  // A command was written: its own answer may use its name.
  void Asked(std::string_view command) { asked_ = std::string(command); }
  Split Take(std::string_view burst);
  // The port was closed or the filter switched off: nothing is held.
  void Reset();

 private:
  std::string asked_;
  std::string held_;     // the start of a line that may be unsolicited
  bool pduNext_ = false;  // the next line is the PDU of a +CMT / +CDS
};
