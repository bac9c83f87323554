#pragma once
// Pure parsers for the phone's replies, one or a few per command: text in,
// values out. No widget, no port; each is tested on captured and hand-made
// replies. The grammar they share (lines, final results, the prompt, the
// error line) and the lines a phone sends on its own come with them.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ReplyGrammar.h"
#include "UnsolicitedLines.h"

// The memory to select from an AT+CPMS=? reply: MT before ME before SM;
// empty when the reply has no "+CPMS:".
std::string ChooseSmsMemory(const std::string& cpmsReply);

// The memory for received messages from an AT+CPMS=? reply when the phone
// refused `refused` for them: the third list of the reply (the memories
// offered for received messages), MT before ME before SM, without the one
// refused; empty when none is left.
std::string ChooseReceiveMemory(const std::string& cpmsReply, const std::string& refused);

// The service-centre digits (without "+") from an AT+CSCA? reply; empty for
// a number stored without "+" or a reply without "+CSCA:". The reply is cut
// in place up to the number.
std::string ParseSmscReply(std::string& reply);

// --- Battery and call list ---------------------------------------------

// The charge level from an AT+CBC reply (TS 27.007 "+CBC: <bcs>,<bcl>"):
// 0..100, or -1 when the reply has no "+CBC:", a connection status that is
// not a number, no comma, a level that is not a number or lies outside
// 0..100, or a level line that was cut off before its CR.
int ParseBatteryLevel(std::string reply);

// The same reply read in more detail, for the journal: a level, no level
// at all (no "+CBC:", a status or level that is not a number, no comma),
// a level outside 0..100, or a level line cut off before its CR.
struct BatteryReading {
  enum Kind { Level, NoLevel, OutOfRange, CutOff };
  Kind kind = NoLevel;
  int level = 0;  // the value read, also when it is out of range
};
BatteryReading ReadBatteryReply(std::string reply);

// What a scan of an AT+CLCC reply (TS 27.007 call list) found.
struct CallListScan {
  // The number of the first incoming voice call (direction 1, state 4,
  // mode 0) that has one, as the phone gave it between the quotes.
  std::string number;
  int entries = 0;            // "+CLCC:" entries read
  bool hiddenCaller = false;  // an incoming voice call came without a number
};

// Reads the "+CLCC:" entries one by one until one gives a number. Each
// entry is read within its own line, so a truncated entry cannot swallow the
// next one. eachTurn (may be empty) runs after every entry.
CallListScan ScanCallList(const std::string& reply, const std::function<void()>& eachTurn = {});

// ---- The answer to a send ----

// The message reference of a send's reply, "+CMGS: <mr>[,<scts>]" (TS 27.005
// 3.5.1), 0..255; nothing when no such line holds a number in range.
std::optional<int> ParseCmgsReference(std::string_view reply);

// ---- SIM, network registration and signal quality (3GPP TS 27.007) ----

// TS 27.007 8.3 +CPIN <code>, plus the two ways a phone says there is no SIM.
enum class SimCode {
  Ready,     // "READY"
  SimPin,    // "SIM PIN"
  SimPuk,    // "SIM PUK"
  SimPin2,   // "SIM PIN2"
  SimPuk2,   // "SIM PUK2"
  NoSim,     // "NO SIM", "+CME ERROR: 10" or "+CME ERROR: SIM not inserted"
  Busy,      // "+CME ERROR: 14" (SIM busy): not ready yet
  Other,     // any other code or error; `text` names it
  NoAnswer,  // neither a +CPIN line nor an error
};

struct SimReply {
  SimCode code = SimCode::NoAnswer;
  std::string text;  // the code or error as the phone wrote it, one line
};

// An AT+CPIN? reply. Blanks, case and quotes around the code do not matter.
// "+CPIN: NOT READY" (a SIM still starting up) counts as busy.
SimReply ParseCpinReply(const std::string& reply);

// The line of a reply that says the SIM is still starting up, as phones
// answer for seconds after power-on: "+CME ERROR: 14" (or its text "SIM
// busy"), "+CPIN: NOT READY", or "+CMS ERROR: 310" to 315 (TS 27.005 3.2.5:
// SIM not inserted, PIN, PH-SIM PIN, failure, busy, wrong). Empty otherwise.
std::string SimStartingLine(const std::string& reply);

// How full the message store is, from an AT+CPMS? reply
// ("+CPMS: "SM",9,10,"SM",9,10,"SM",9,10"): the first memory (the one
// listed, read and deleted), its used and total slots.
struct StoreUse {
  std::string memory;
  int used = 0, total = 0;
};
std::optional<StoreUse> ParseCpmsRead(const std::string& reply);

// The line of text that says the message store is full: "+CMS ERROR: 322"
// (TS 27.005 3.2.5, memory full) or an indicator event naming "smsfull" set
// to 1 ("+CIEV: "SMSFULL",1"). Empty otherwise.
std::string StoreFullLine(std::string_view text);

// The registration state <stat> of an AT+CREG? reply ("+CREG: n,stat[,...]")
// or of an unsolicited "+CREG: stat[,lac,ci]" line; the last +CREG line
// counts. kNoCregLine when there is none, kUnreadableCreg when it is
// malformed.
inline constexpr int kNoCregLine = -1;
inline constexpr int kUnreadableCreg = -2;
int ParseCregReply(const std::string& reply);

// Whether the phone reports registration changes by itself: the answer to
// AT+CREG? names the mode 1 or 2, or its last +CREG line is such a report.
bool RegistrationReportsOn(const std::string& reply);

// "registered (home)", "registered (roaming)", "searching", "denied",
// "not registered" or "unknown" (with the value when it is none of the
// TS 27.007 7.2 states).
std::string RegistrationText(int stat);

// TS 27.007 8.5 +CSQ: <rssi> 0..31 (99 unknown), <ber> 0..7 (99 unknown).
struct SignalQuality {
  int rssi = 99;
  int ber = 99;
};

// The values of an AT+CSQ reply; nothing when there is no well-formed
// "+CSQ: rssi,ber" line. Values out of range are kept as read.
std::optional<SignalQuality> ParseCsqReply(const std::string& reply);

// <rssi> in dBm: 0 is -113 or less, 31 is -51 or more, two dB a step;
// nothing for 99 and for values out of range.
std::optional<int> RssiToDbm(int rssi);

// The journal text: "Signal: -71 dBm (21/31), BER 0", "Signal: unknown (99)".
std::string SignalText(const SignalQuality& q);
// The short form for the window: "-71 dBm" or "no signal".
std::string SignalShortText(const SignalQuality& q);

// ---- Message listing (AT+CMGL in PDU mode, TS 27.005 3.4.2) ----
// One listed message: its storage index (-1 when the header's index field
// is not a number) and its PDU line.
struct ListedMessage {
  int index = -1;
  std::string pdu;
};

// Splits a captured AT+CMGL reply into its messages, in listed order. For
// every "+CMGL:" header: the index is the text up to the next "," (trimmed,
// decimal), the rest of the header line is skipped, blank and empty lines
// are skipped, and the next line is the PDU. A header or a PDU line without
// its closing CR LF ends the listing (a reply cut short).
std::vector<ListedMessage> ParseCmglListing(std::string_view reply);

// ---- Setting up indications (TS 27.005 3.4.1) and reading by index ----

// The AT+CNMI settings to try, best first, from the phone's AT+CNMI=? reply
// ("+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)"): new messages stored and
// indicated (<mt> 1), status reports stored and indicated (<ds> 2) or else
// left alone (0), indications held while a command runs and flushed after it
// (<mode> 2) before dropped while one runs (1) or forwarded always (3), no
// broadcast indications, the buffered ones flushed. Each as "2,1,0,2,0";
// empty when the reply offers no such setting or has no +CNMI line.
std::vector<std::string> CnmiSettings(const std::string& testReply);

// The PDU of an AT+CMGR reply in PDU mode ("+CMGR: <stat>,[<alpha>],<length>"
// then the PDU line); nothing when the reply holds no +CMGR header followed
// by a non-empty line (an error, or an empty slot answered with OK alone).
std::optional<std::string> ParseCmgrPdu(std::string_view reply);

// Whether the answer to a PDU-mode listing or read (AT+CMGL=n, AT+CMGR=n)
// shows the phone in text mode: a "+CMGL:"/"+CMGR:" line whose status is
// quoted text ("REC UNREAD"), or "+CMS ERROR: 305" (a text mode parameter
// refused). A phone that restarted into text mode answers so.
bool AnsweredInTextMode(std::string_view command, std::string_view reply);

