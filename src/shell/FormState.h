#pragma once
// Start-up values that the window keeps beside its controls, and the
// enabling rules for the settings that automatic modes lock.
#include <string>

#include "LongMessages.h"

struct Controls;
class QWidget;

// Messages received and sent and the errors since start, for /status; the
// receiving and sending operations count them.
struct GatewayCounters {
  unsigned received = 0, sent = 0, errors = 0;
};

struct FormState {
  std::string ConfigPath;
  int PollingInterval = 0;  // 0 until set; at least 1 once set
  int WatchInterval = 0;
  bool LockedMode = false;  // q_mode=1: settings stay locked for the whole run
  bool SendCycleStop = false;  // the Stop button ends a repeated send
  // Clicks of Abort and Stop so far: a fast watch turn ends its batch
  // between files when this changes (Abort ends only the wait in progress
  // and Stop only the copies of one message).
  unsigned StopClicks = 0;
  // The directory against which files named without a directory resolve
  // (sms_vp.ini, smsLowBat.f, renamed outgoing files); empty means the
  // working directory. Tests set it.
  std::string BaseDir;

  // SIM, network and signal (opt-in keys SimCheck, Pin, SignalInt).
  int SignalInterval = 0;   // seconds between signal checks; 0 = none
  // A PIN the SIM refused: never sent again by this run (three wrong PINs
  // lock the SIM) until Save stores another one.
  std::string RejectedPin;
  // As the last connect and signal check found them; empty until checked.
  std::string SimState, NetworkState, SignalState;
  // The phone reports registration changes by itself (seen by SimCheck's
  // AT+CREG?): its lines are unsolicited.
  bool RegistrationReports = false;
  GatewayCounters Counters;
  // FastMode=1 (off by default): reply-aware framing in the serial port,
  // waits that wake on a cluster, and batched duties where they apply.
  bool FastMode = false;
  // Long messages: concatenated sending and joined receiving (opt-in).
  LongMessageSettings LongMessages;
  // ShiftTables=: national language shift tables a UTF-8 text may go with.
  std::vector<std::uint8_t> ShiftTables;
  // Utf8Files=1 (off by default): outgoing files, manual sends and the
  // archive of received messages in UTF-8 instead of Windows-1251.
  bool Utf8Files = false;
  // MatchReports=1 (off by default): a status report requested for every
  // message sent, and the reports matched to the messages.
  bool MatchReports = false;
  // Indications=1 (off by default): the phone is asked at connect to indicate
  // new messages and status reports, which are then read at once by index.
  bool Indications = false;
  // The database spool (Spool=, GatewayName=): empty when off.
  std::string Spool;
  std::string GatewayName;
  // The spool replaces the watched directory: Spool set and WatchDir absent.
  bool SpoolOnly = false;
  // StoreAlarm=PERCENT (0: off): the store's use is read at each listing.
  int StoreAlarm = 0;
  // The message store as last seen: used and total slots (-1: not read), and
  // full (a listing at capacity, +CIEV "smsfull" or +CMS ERROR: 322).
  int StoreUsed = -1, StoreTotal = -1;
  bool StoreFull = false;
  // The device vanished under an open port (USB reset, unplugged): the
  // cycle reopens it as soon as it is back.
  bool DeviceLost = false;
  // Restarts of the phone seen (reopened device, power-on echo) since start.
  unsigned PhoneRestarts = 0;
  // The battery charge the last check read, percent; -1 before one did.
  int BatteryLevel = -1;
};

// name as it is when it holds a "/", otherwise inside the base directory.
std::string InBaseDir(const FormState& state, const std::string& name);

// Polling interval, log directory, DOS code page and append-to-file can be
// edited only while auto read is off (callers pass that) and never locked.
void EnableReadSettings(Controls& ui, const FormState& state, bool enabled);
// Likewise the watch interval and template while auto send is off.
void EnableWatchSettings(Controls& ui, const FormState& state, bool enabled);
// Disables every button, check box, edit, latching button, combo box and spin
// edit of the window except Connect, Abort, Disconnect, Exit and Copy.
void LockControls(QWidget* window);
