// The AT command side of the simulated phone: a V.250 command-line parser
// and the handset's answers to the 3GPP TS 27.007 / TS 27.005 commands that an
// SMS gateway uses, in PDU mode. Pure logic without I/O: bytes from the host
// go in through Receive(), everything the phone says comes out through the
// sink, so it can be driven by the pty loop or directly by tests.
#pragma once

#include "Pdu.h"
#include "Store.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink::phone {

using Millis = std::int64_t;

enum class OutputKind {
  Echo,         // the host's own characters, sent back at once
  Reply,        // a command's answer or the "> " prompt
  Unsolicited,  // RING, +CMTI and friends
};
using OutputSink = std::function<void(OutputKind, std::string)>;

// A scripted misbehaviour for commands whose text starts with `pattern`
// (upper case, without "AT"; "PDU" stands for the PDU after the prompt).
struct Fault {
  enum class Kind { Error, CmsError, CmeError, Reply, Silent };
  std::string pattern;
  Kind kind = Kind::Error;
  int code = 0;
  std::string reply;   // raw bytes for Kind::Reply
  int remaining = -1;  // -1: until cleared
};

// Call list entry (TS 27.007 +CLCC).
struct Call {
  int id = 1;
  int direction = 1;  // 0 mobile originated, 1 mobile terminated
  int state = 4;      // 0 active, 1 held, 2 dialing, 3 alerting, 4 incoming, 5 waiting
  std::string number;
};

// A PDU the host handed over with AT+CMGS / AT+CMSS.
struct Submission {
  int sequence = 0;
  int messageReference = 0;
  std::string pduHex;  // as sent, with the service-centre field
};

// The SIM card as +CPIN reports it (TS 27.007 8.3).
enum class SimState { Ready, Pin, Puk, Pin2, Absent };

struct PhoneSettings {
  std::string manufacturer = "pdulink";
  std::string model = "Simulated GSM Phone";
  std::string revision = PDULINK_VERSION_TEXT;
  std::string imei = "490154203237518";
  std::string imsi = "001010123456789";
  std::string smscDigits = "12345678901";
  int smscType = 145;
  int batteryStatus = 0;  // +CBC <bcs>: 0 on battery, 1 charging/external, 2 no battery, 3 fault
  int batteryLevel = 80;
  int rssi = 21;
  int ber = 99;
  // The SIM: its state and codes; three wrong PINs make it ask for the PUK.
  // After the right PIN it answers "SIM busy" for simReadyDelayMs first.
  SimState sim = SimState::Ready;
  std::string pin = "1234";
  std::string puk = "12345678";
  int pinAttempts = 3;
  Millis simReadyDelayMs = 0;
  int registration = 1;  // +CREG <stat> while the SIM is ready
  Millis ringIntervalMs = 3000;
  std::vector<Memory> memories = {Memory::SM, Memory::ME, Memory::MT};
  // Delivery of replies (applied by the I/O loop).
  Millis latencyMs = 0;
  int chunkSize = 0;  // 0: a reply goes out in one write
  Millis chunkPauseMs = 0;
  // The network's status reports: every message sent with AT+CMGS that asks
  // for one (TP-SRR) is answered by a report per status, the first
  // reportDelayMs after the send, each further one reportDelayMs later.
  bool autoReports = false;
  Millis reportDelayMs = 1000;
  std::vector<int> reportStatuses = {0};
  // The indication modes (+CNMI <mode>) AT+CNMI=? offers and AT+CNMI takes.
  std::vector<int> indicationModes = {0, 1, 2};
  // The memories offered for received messages (the third AT+CPMS
  // parameter); empty: the same as for reading.
  std::vector<Memory> receiveMemories;
};

// The noisy phone: unsolicited lines at awkward moments, as real handsets
// send them. Off by default.
struct Noise {
  enum class Place {
    Between,    // held until the next command, written before its reply
    BeforePdu,  // inside the next reply, after a +CMGR/+CMGL header line
    AfterPdu,   // inside the next reply, before its final result
    Split,      // cut mid-line: the start before the next reply, the rest with it
    Random,     // any of these, drawn for each line
  };
  bool on = false;
  Place place = Place::Random;
  int rate = 0;  // percent of commands that also bring a line of noise (^RSSI, +CIEV)
  std::uint32_t seed = 1;
  Millis gapMs = 300;     // pause between an unsolicited write and the reply after it
  Millis holdMs = 1500;   // a held line goes out by itself after this long
};

class Modem {
 public:
  explicit Modem(OutputSink sink);

  // Bytes from the host, in any split.
  void Receive(std::string_view bytes);
  // The host closed the device: a half-typed line or PDU is dropped.
  void HostClosed();
  // Emits periodic RINGs and the status reports that are due; call at or
  // after NextDue().
  void Tick(Millis now);
  Millis NextDue() const;  // -1 when nothing is scheduled
  // The TP-MR that the next AT+CMGS / AT+CMSS answers with (0..255; it
  // wraps from 255 to 0).
  void SetNextReference(int mr) { nextReference_ = mr & 0xFF; }
  int NextReference() const { return nextReference_; }
  std::size_t PendingReports() const { return reports_.size(); }

  PhoneSettings settings;
  // The noisy phone; SetNoise seeds its draws.
  void SetNoise(const Noise& noise);
  const Noise& NoiseSettings() const { return noise_; }
  MessageStore& Store() { return store_; }
  const std::vector<Submission>& Submissions() const { return submissions_; }
  void ClearSubmissions() { submissions_.clear(); }

  // Incoming SMS-DELIVER or SMS-STATUS-REPORT from the network, routed as the
  // new-message indication settings say. `target` overrides the receive
  // memory. Returns the storage index, -1 when it went straight to the host
  // (+CMT/+CDS), 0 when the memory is full.
  int Deliver(const Bytes& pdu, std::optional<Memory> target,
              MessageState state = MessageState::ReceivedUnread);
  // The same, held until the phone answers the next command that starts with
  // pattern (as for faults): delivered after that command ran, so that its
  // indications come inside the reply, before the final result.
  void DeliverDuring(const std::string& pattern, std::vector<Bytes> pdus, std::optional<Memory> target);
  Memory ReceiveMemory() const { return mem3_; }
  // Whether a received message (or status report) goes straight to the host
  // instead of into storage under the current +CNMI settings.
  bool RoutesDirectly(bool statusReport) const;

  // An incoming call; a waiting call when one is already up. False when the
  // call list is full.
  bool StartRing(const std::string& number, Millis now);
  // The remote side hangs up every call.
  void RemoteHangup();
  const std::vector<Call>& Calls() const { return calls_; }

  void AddFault(Fault fault);
  // Removes the faults with this pattern (all when empty); returns how many.
  int ClearFaults(const std::string& pattern);
  const std::vector<Fault>& Faults() const { return faults_; }

  // Keeps the selected memories among the available ones.
  void MemoriesChanged();
  std::string StateSummary() const;

  // The SIM's state; asking for the PIN again gives it three attempts.
  void SetSim(SimState state);
  // The SIM busy from now for ms, as after power-on: AT+CPIN? answers
  // +CME ERROR: 14 and the message commands +CMS ERROR: 314 meanwhile.
  void SimBusyFor(Millis ms) { simReadyAt_ = (clock ? clock() : lastTick_) + ms; }
  // A restart (power dip, firmware watchdog): the profile and memories back
  // at their power-on values, then "RDY" unasked, as many modules say it.
  void PowerCycle();
  // The network registration <stat>; announced with +CREG when AT+CREG=1/2.
  void SetRegistration(int stat);
  // The time for the SIM's start-up delay; unset: the last Tick().
  std::function<Millis()> clock;
  std::string SmscText() const;  // "+12345678901" or national digits

 public:
  struct Command;  // one parsed command of a command line

 private:
  enum class Final { Ok, Error, Cms, Cme, Prompt, NoCarrier, None };
  struct Result {
    Final final = Final::Ok;
    int code = 0;
  };

  // The command table: one row per command (ModemParts.h), the rows of each
  // family beside its handlers. Adding a command is adding a row and its
  // handler.
  struct CommandRow;
  static const std::vector<CommandRow>& BasicCommands();    // ModemBasic.cpp
  static const std::vector<CommandRow>& SimCommands();      // ModemSim.cpp
  static const std::vector<CommandRow>& MessageCommands();  // ModemMessages.cpp
  static const std::vector<CommandRow>& CallCommands();     // ModemCalls.cpp

  void ExecuteLine(const std::string& line);
  // The noisy phone's lines for the command just received: written before
  // its reply now, or kept in noiseInside_ for the reply itself.
  void PlaceNoise();
  std::string WithNoiseInside(std::string reply);
  Result Execute(const Command& cmd);  // through the table
  void FinishPdu(bool cancelled);
  void Emit(OutputKind kind, std::string text);
  void Unsolicited(std::string text);
  void Info(const std::string& line) { info_ += "\r\n" + line + "\r\n"; }
  Result CmeError(int code) const;
  std::optional<Fault> MatchFault(const std::string& text);  // consumes one use
  void ResetProfile();
  std::string QuoteText(const std::string& text) const;  // in the selected character set

  // Basic commands and identification.
  Result Echo(const Command& cmd);
  Result ResetCommand(const Command& cmd);
  Result Identify(const Command& cmd);
  Result Verbose(const Command& cmd);
  Result Quiet(const Command& cmd);
  Result Accepted(const Command& cmd);
  Result SRegister(const Command& cmd);
  Result Identity(const Command& cmd, const std::string& value);
  Result Manufacturer(const Command& cmd);
  Result Model(const Command& cmd);
  Result Revision(const Command& cmd);
  Result SerialNumber(const Command& cmd);
  Result Imsi(const Command& cmd);
  Result Cscs(const Command& cmd);
  Result Calm(const Command& cmd);
  Result Cmee(const Command& cmd);
  Result Cbc(const Command& cmd);
  // The SIM and the network.
  Result Cpin(const Command& cmd);
  Result Creg(const Command& cmd);
  Result Csq(const Command& cmd);
  // Messages.
  Result Csca(const Command& cmd);
  Result Cpms(const Command& cmd);
  Result Cmgf(const Command& cmd);
  Result Csms(const Command& cmd);
  Result Cnmi(const Command& cmd);
  Result Cmgl(const Command& cmd);
  Result Cmgr(const Command& cmd);
  Result Cmgd(const Command& cmd);
  Result Cmgs(const Command& cmd);
  Result Cmgw(const Command& cmd);
  Result CmgsOrCmgw(const Command& cmd, bool write);
  Result Cmss(const Command& cmd);
  // Calls.
  Result Answer(const Command& cmd);
  Result Hangup(const Command& cmd);
  Result Dial(const Command& cmd);
  Result Clcc(const Command& cmd);
  Result Chup(const Command& cmd);
  Result Cpas(const Command& cmd);
  Result Clip(const Command& cmd);
  bool SimBusy() const;
  int RegistrationNow() const;
  std::optional<Result> SimRefusesSms() const;  // message commands need a ready SIM

  OutputSink sink_;
  MessageStore store_;
  std::vector<Submission> submissions_;
  std::vector<Fault> faults_;
  std::vector<Call> calls_;
  struct PendingReport {
    Millis due = 0;
    int reference = 0;
    std::string recipient;  // "+digits" or digits
    int status = 0;
  };
  std::vector<PendingReport> reports_;
  // Schedules the reports for a submitted TPDU that asks for one.
  void ScheduleReports(const Bytes& tpdu, int reference);

  // Line assembly.
  std::string line_;
  bool lineOverflow_ = false;
  bool lastWasCr_ = false;

  // PDU entry after the "> " prompt.
  bool inPrompt_ = false;
  bool promptWrite_ = false;  // AT+CMGW rather than AT+CMGS
  int promptLength_ = 0;
  MessageState promptState_ = MessageState::StoredUnsent;
  std::string pduText_;
  bool pduOverflow_ = false;
  std::vector<std::string> heldUnsolicited_;
  struct HeldDelivery {
    std::string pattern;
    std::vector<Bytes> pdus;
    std::optional<Memory> target;
  };
  std::vector<HeldDelivery> heldDeliveries_;
  bool inReply_ = false;  // unsolicited text joins the reply being built
  Noise noise_;
  std::mt19937 noiseRng_;
  std::vector<std::string> noiseHeld_;  // lines waiting for the next command
  Millis noiseHeldSince_ = -1;
  struct InsideLine {
    std::string text;  // the line without line ends
    bool beforePdu = false;
  };
  std::vector<InsideLine> noiseInside_;  // lines for the reply being built

  // Per-line reply assembly.
  std::string info_;

  // Profile (ATZ restores it).
  bool echo_ = true;
  int cmgf_ = 0;
  std::string cscs_ = "IRA";
  int cnmi_[5] = {0, 0, 0, 0, 0};
  int clip_ = 0;
  int cmee_ = 0;
  int creg_ = 0;
  int calm_ = 0;
  int csms_ = 0;
  std::map<int, int> sRegisters_;

  Memory mem1_ = Memory::SM, mem2_ = Memory::SM, mem3_ = Memory::SM;
  int nextReference_ = 0;  // TP-MR of the next submission
  int submissionCount_ = 0;
  Millis nextRing_ = -1;
  Millis lastTick_ = 0;
  Millis simReadyAt_ = -1;  // "SIM busy" until then
};

}  // namespace pdulink::phone
