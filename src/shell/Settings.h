#pragma once
// The [Main] keys of the configuration file: how start-up turns them into
// control states (with the corrections for missing or bad values) and how
// Save writes them back.
#include <optional>
#include <string>
#include <vector>

#include "IniFile.h"
#include "LongMessages.h"

inline constexpr const char* kMainSection = "Main";
inline constexpr const char* kPortsSection = "Ports";

inline constexpr int kReplyTimeoutDefault = 180;  // seconds

// Speeds offered by the speed list, in list order.
inline const std::vector<std::string>& SpeedItems() {
  static const std::vector<std::string> items = {"9600", "19200", "38400", "57600", "115200"};
  return items;
}

// Control states that start-up derives from the file.
struct StartupSettings {
  int comPortIndex = 0;         // item of COM1..COM10
  bool comPortOutOfRange = false;  // journal "Error ComPort Number in INIFile"
  int speedIndex = 1;           // "19200"
  bool autoConnect = false;
  bool autoRead = false;        // already tied to autoConnect
  bool autoSend = false;        // already tied to autoConnect
  bool offLine = false;         // already tied to autoConnect
  bool dosCodepage = false;
  bool rts = false;
  bool dtr = false;
  bool sendOptions = false;
  bool batteryCheck = true;
  bool soundSilent = false;
  bool appendFile = false;
  bool inCalls = false;
  bool saveCalls = false;
  int pollingInterval = 10;
  int watchInterval = 20;
  std::optional<std::string> logDir;    // set only when the key is present
  std::optional<std::string> watchDir;  // likewise
  bool lockedMode = false;              // q_mode=1

  // SIM, network and signal checks: opt-in, absent keys change nothing.
  bool simCheck = false;         // SimCheck=1
  std::string pin;               // Pin: 4 to 8 digits, or empty
  bool pinIgnored = false;       // Pin present but not 4 to 8 digits
  int signalInterval = 0;        // SignalInt seconds, 0 = off
  bool signalIntIgnored = false; // SignalInt present but not a number >= 0
  bool fastMode = false;  // FastMode=1

  // Long messages (opt-in keys).
  LongMessageSettings longMessages;
  bool maxPartsIgnored = false;     // MaxParts present but not 1..255
  bool joinTimeoutIgnored = false;  // JoinTimeout present but not hours >= 1
  // ShiftTables=tr,es,...: national language tables (TS 23.038 language
  // identifiers) a UTF-8 text may go with; empty: none.
  std::vector<std::uint8_t> shiftTables;
  std::string shiftTablesBad;       // ShiftTables names no such language: none used
  bool utf8Files = false;  // Utf8Files=1
  // The database spool (opt-in): Spool=sqlite:PATH or postgresql://...,
  // and the name this gateway goes by in it.
  std::string spool;
  std::string gatewayName;
  // How long a command waits for its reply, seconds (ReplyTimeout=).
  int replyTimeout = kReplyTimeoutDefault;
  bool replyTimeoutIgnored = false;
  // StoreAlarm=PERCENT: how full the message store may get before the
  // journal says so; 0 (the default) reads nothing.
  int storeAlarm = 0;
  bool storeAlarmIgnored = false;
};

// What the controls show when Save is pressed.
struct SavedSettings {
  int comPortIndex = 0;
  std::string speedText = "19200";
  bool autoConnect = false, autoRead = false, autoSend = false;
  std::string pollingText = "10";  // raw field texts, read as integers
  std::string watchText = "20";
  std::string logDir, watchDir;
  bool dosCodepage = false, dtr = false, rts = false, batteryCheck = true;
  bool soundSilent = false, appendFile = false, offLine = false;
  bool sendOptions = false, inCalls = false, saveCalls = false;

  // SIM, network and signal checks (opt-in keys).
  bool simCheck = false;
  std::string pin;                // field text
  std::string signalText = "0";   // field text, read as integer
  bool fastMode = false;
  bool matchReports = false;  // no control shows it: Save writes what start-up read
  // No control shows these: Save writes what start-up read.
  LongMessageSettings longMessages;
  std::vector<std::uint8_t> shiftTables;
  bool utf8Files = false;
};

// A decimal integer (optional sign) that fits 32 bits; nothing else.
std::optional<int> ParseInt(std::string_view text);

// An interval in seconds: the text as an integer (blanks around it allowed),
// def when it is none or below 1. Start-up and the automatic-mode check
// boxes read the polling and watch intervals this way.
int IntervalOrDefault(std::string_view text, int def);

StartupSettings ReadStartupSettings(const IniFile& ini);
// MatchReports=1 (off when absent): delivery reports requested and matched.
bool ReadMatchReports(const IniFile& ini);

// Writes the 19 keys in their fixed order, then the opt-in keys SimCheck,
// Pin, SignalInt, FastMode, LongSms, MaxParts, LongSmsRef16, JoinParts,
// JoinTimeout, ShiftTables, Utf8Files and MatchReports, each only where the file already has it or its value differs
// from the default (a default configuration gains no new key).
void WriteSettings(IniFile& ini, const SavedSettings& s);
// Indications=1: new-message indications (off for any other value or none).
bool ReadIndicationsKey(const IniFile& ini);
// The opt-in key Indications, after those, on the same rule (no control
// shows it: Save writes what start-up read).
void WriteIndicationsKey(IniFile& ini, bool on);

// The spool's keys Spool and GatewayName, after WriteSettings and like its
// opt-in keys: only where the file has the key or the value is not empty.
void WriteSpoolKeys(IniFile& ini, const std::string& spool, const std::string& gatewayName);

// What makes a configuration unusable for a service, each entry naming the
// key, its value and what it should be ("ComPort=12: out of range (1 to
// 10)"): a port number that is not one (or out of range), a speed not
// offered, and every key whose value start-up would ignore. Empty when the
// file is sound. Headless start-up ends on the first one.
std::vector<std::string> ConfigProblems(const IniFile& ini);

// A SIM PIN as the configuration accepts it: 4 to 8 digits.
bool IsValidPin(std::string_view pin);

// The signal check interval from its text: seconds >= 0, nothing otherwise.
std::optional<int> SignalIntervalFrom(std::string_view text);
