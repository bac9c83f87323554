#include "Settings.h"

#include <charconv>
#include <limits>

#include "national_tables.h"
#include "text_helpers.h"

using pdulink::TrimBlanks;

namespace {

constexpr const char* kMissing = "ERROR";

const char* Flag(bool on) { return on ? "1" : "0"; }

bool HasKey(const IniFile& ini, std::string_view key) {
  for (const auto& entry : ini.ReadSection(kMainSection))
    if (pdulink::EqualNoCase(entry.first, key)) return true;
  return false;
}

}  // namespace

std::optional<int> ParseInt(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int IntervalOrDefault(std::string_view text, int def) {
  auto value = ParseInt(TrimBlanks(text));
  return (value && *value >= 1) ? *value : def;
}

namespace {

// The keys of [Main] as start-up reads them: a missing key reads as
// kMissing.
class MainKeys {
 public:
  explicit MainKeys(const IniFile& ini) : ini_(ini) {}
  std::string Get(const char* key) const { return ini_.Read(kMainSection, key, kMissing); }
  bool On(const char* key) const { return Get(key) == "1"; }
  // A whole number low..high into `into`; a present key with any other
  // value sets `ignored` and leaves `into` as it is.
  void Number(const char* key, int low, int high, int& into, bool& ignored) const {
    const std::string v = Get(key);
    if (v == kMissing) return;
    auto n = ParseInt(TrimBlanks(v));
    if (n && *n >= low && *n <= high) into = *n;
    else ignored = true;
  }

 private:
  const IniFile& ini_;
};

constexpr int kNoTop = std::numeric_limits<int>::max();

void ReadLine(const MainKeys& keys, StartupSettings& s) {
  if (auto port = ParseInt(keys.Get("ComPort"))) {
    if (*port >= 1 && *port <= 10) {
      s.comPortIndex = *port - 1;
    } else {
      s.comPortOutOfRange = true;
    }
  }
  if (auto baud = ParseInt(keys.Get("BaudRate"))) {
    const auto& items = SpeedItems();
    for (size_t i = 0; i < items.size(); ++i)
      if (std::to_string(*baud) == items[i]) s.speedIndex = static_cast<int>(i);
  }
  s.rts = keys.On("RTS");
  s.dtr = keys.On("DTR");
}

// The flags that are on only when their key is "1".
struct FlagKey {
  const char* key;
  bool StartupSettings::*field;
};
constexpr FlagKey kFlagKeys[] = {
    {"AutoConnect", &StartupSettings::autoConnect},   {"AutoRead", &StartupSettings::autoRead},
    {"AutoSend", &StartupSettings::autoSend},         {"DOSCodepage", &StartupSettings::dosCodepage},
    {"OffLineMode", &StartupSettings::offLine},       {"DetectSendOptions", &StartupSettings::sendOptions},
    {"SoundMode", &StartupSettings::soundSilent},     {"Append2FileSMSIN", &StartupSettings::appendFile},
    {"InCalls", &StartupSettings::inCalls},           {"SaveCalls", &StartupSettings::saveCalls},
    {"q_mode", &StartupSettings::lockedMode},         {"FastMode", &StartupSettings::fastMode},
    {"Utf8Files", &StartupSettings::utf8Files},
};

void ReadModes(const MainKeys& keys, StartupSettings& s) {
  for (const FlagKey& flag : kFlagKeys) s.*flag.field = keys.On(flag.key);
  s.batteryCheck = keys.Get("BatteryCheck") != "0";  // on unless "0"

  // The automatic modes only run together with auto-connect.
  s.autoRead = s.autoRead && s.autoConnect;
  s.autoSend = s.autoSend && s.autoConnect;
  s.offLine = s.offLine && s.autoConnect;
}

void ReadIntervalsAndPlaces(const MainKeys& keys, StartupSettings& s) {
  s.pollingInterval = IntervalOrDefault(keys.Get("PollingInt"), 10);
  s.watchInterval = IntervalOrDefault(keys.Get("WatchInt"), 20);
  std::string logDir = keys.Get("LogDir");
  if (logDir != kMissing) s.logDir = logDir;
  std::string watchDir = keys.Get("WatchDir");
  if (watchDir != kMissing) s.watchDir = watchDir;
  if (std::string v = keys.Get("Spool"); v != kMissing) s.spool = std::string(TrimBlanks(v));
  if (std::string v = keys.Get("GatewayName"); v != kMissing) s.gatewayName = std::string(TrimBlanks(v));
}

void ReadSimAndSignal(const MainKeys& keys, StartupSettings& s) {
  s.simCheck = keys.On("SimCheck");
  std::string pin = keys.Get("Pin");
  if (pin != kMissing && !pin.empty()) {
    if (IsValidPin(pin)) s.pin = pin;
    else s.pinIgnored = true;
  }
  std::string signal = keys.Get("SignalInt");
  if (signal != kMissing) {
    auto seconds = SignalIntervalFrom(signal);
    if (seconds) s.signalInterval = *seconds;
    else s.signalIntIgnored = true;
  }
}

void ReadLongMessages(const MainKeys& keys, StartupSettings& s) {
  LongMessageSettings& lm = s.longMessages;
  lm.longSms = keys.On("LongSms");
  lm.ref16 = keys.On("LongSmsRef16");
  lm.joinParts = keys.On("JoinParts");
  keys.Number("MaxParts", 1, kMaxPartsTop, lm.maxParts, s.maxPartsIgnored);
  keys.Number("JoinTimeout", 1, kNoTop, lm.joinTimeoutHours, s.joinTimeoutIgnored);
  if (std::string v = keys.Get("ShiftTables"); v != kMissing) {
    pdulink::ShiftList list = pdulink::ParseShiftList(v);
    s.shiftTables = std::move(list.languages);
    s.shiftTablesBad = std::move(list.badName);
  }
}

}  // namespace

StartupSettings ReadStartupSettings(const IniFile& ini) {
  const MainKeys keys(ini);
  StartupSettings s;
  ReadLine(keys, s);
  ReadModes(keys, s);
  ReadIntervalsAndPlaces(keys, s);
  ReadSimAndSignal(keys, s);
  ReadLongMessages(keys, s);
  keys.Number("ReplyTimeout", 1, kNoTop, s.replyTimeout, s.replyTimeoutIgnored);
  keys.Number("StoreAlarm", 0, 100, s.storeAlarm, s.storeAlarmIgnored);
  return s;
}

bool ReadMatchReports(const IniFile& ini) { return ini.Read(kMainSection, "MatchReports", "0") == "1"; }

void WriteSettings(IniFile& ini, const SavedSettings& s) {
  auto put = [&](const char* key, const std::string& value) { ini.Write(kMainSection, key, value); };
  auto number = [](const std::string& text, int def) {
    auto v = ParseInt(TrimBlanks(text));
    return std::to_string(v ? *v : def);
  };
  put("ComPort", std::to_string(s.comPortIndex + 1));
  put("BaudRate", s.speedText);
  put("AutoConnect", Flag(s.autoConnect));
  put("AutoRead", Flag(s.autoRead));
  put("AutoSend", Flag(s.autoSend));
  put("PollingInt", number(s.pollingText, 10));
  put("WatchInt", number(s.watchText, 20));
  put("LogDir", std::string(TrimBlanks(s.logDir)));
  put("WatchDir", std::string(TrimBlanks(s.watchDir)));
  put("DOSCodepage", Flag(s.dosCodepage));
  put("DTR", Flag(s.dtr));
  put("RTS", Flag(s.rts));
  put("BatteryCheck", Flag(s.batteryCheck));
  put("SoundMode", Flag(s.soundSilent));
  put("Append2FileSMSIN", Flag(s.appendFile));
  put("OffLineMode", Flag(s.offLine));
  put("DetectSendOptions", Flag(s.sendOptions));
  put("InCalls", Flag(s.inCalls));
  put("SaveCalls", Flag(s.saveCalls));

  auto optIn = [&](const char* key, const std::string& value, const char* def) {
    if (value != def || HasKey(ini, key)) put(key, value);
  };
  optIn("SimCheck", Flag(s.simCheck), "0");
  optIn("Pin", std::string(TrimBlanks(s.pin)), "");
  optIn("SignalInt", number(s.signalText, 0), "0");
  optIn("FastMode", Flag(s.fastMode), "0");
  const LongMessageSettings& lm = s.longMessages;
  optIn("LongSms", Flag(lm.longSms), "0");
  optIn("MaxParts", std::to_string(lm.maxParts), "6");
  optIn("LongSmsRef16", Flag(lm.ref16), "0");
  optIn("JoinParts", Flag(lm.joinParts), "0");
  optIn("JoinTimeout", std::to_string(lm.joinTimeoutHours), "24");
  optIn("ShiftTables", pdulink::ShiftListText(s.shiftTables), "");
  optIn("Utf8Files", Flag(s.utf8Files), "0");
  optIn("MatchReports", Flag(s.matchReports), "0");
}

bool ReadIndicationsKey(const IniFile& ini) { return ini.Read(kMainSection, "Indications", "") == "1"; }

void WriteIndicationsKey(IniFile& ini, bool on) {
  if (on || HasKey(ini, "Indications")) ini.Write(kMainSection, "Indications", Flag(on));
}

void WriteSpoolKeys(IniFile& ini, const std::string& spool, const std::string& gatewayName) {
  for (const auto& [key, value] : {std::pair<const char*, const std::string&>{"Spool", spool},
                                   std::pair<const char*, const std::string&>{"GatewayName", gatewayName}})
    if (!value.empty() || HasKey(ini, key)) ini.Write(kMainSection, key, value);
}

std::vector<std::string> ConfigProblems(const IniFile& ini) {
  std::vector<std::string> problems;
  auto check = [&](const char* key, bool ok, const char* want) {
    const std::string value = ini.Read(kMainSection, key, kMissing);
    if (value == kMissing || ok) return;
    problems.push_back(std::string(key) + "=" + value + ": " + want);
  };
  auto number = [&](const char* key) { return ParseInt(TrimBlanks(ini.Read(kMainSection, key, kMissing))); };
  auto atLeast = [&](const char* key, int low) {
    auto n = number(key);
    return n && *n >= low;
  };
  auto within = [&](const char* key, int low, int high) {
    auto n = number(key);
    return n && *n >= low && *n <= high;
  };
  check("ComPort", number("ComPort").has_value(), "unknown port (a number 1 to 10)");
  if (number("ComPort")) check("ComPort", within("ComPort", 1, 10), "out of range (1 to 10)");
  bool speedOffered = false;
  if (auto baud = number("BaudRate"))
    for (const std::string& item : SpeedItems()) speedOffered = speedOffered || std::to_string(*baud) == item;
  check("BaudRate", speedOffered, "not offered (9600, 19200, 38400, 57600 or 115200)");
  const std::string pin = ini.Read(kMainSection, "Pin", "");
  check("Pin", pin.empty() || IsValidPin(pin), "not 4 to 8 digits");
  check("SignalInt", atLeast("SignalInt", 0), "not seconds (0 or more)");
  check("MaxParts", within("MaxParts", 1, kMaxPartsTop), "out of range (1 to 255)");
  check("JoinTimeout", atLeast("JoinTimeout", 1), "not hours (1 or more)");
  if (!TrimBlanks(ini.Read(kMainSection, "HookTimeout", "")).empty())
    check("HookTimeout", atLeast("HookTimeout", 1), "not seconds (1 or more)");
  check("StoreAlarm", within("StoreAlarm", 0, 100), "out of range (percent, 0 to 100)");
  check("ReplyTimeout", atLeast("ReplyTimeout", 1), "not seconds (1 or more)");
  return problems;
}

bool IsValidPin(std::string_view pin) {
  if (pin.size() < 4 || pin.size() > 8) return false;
  for (char c : pin)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<int> SignalIntervalFrom(std::string_view text) {
  auto value = ParseInt(TrimBlanks(text));
  if (!value || *value < 0) return std::nullopt;
  return value;
}
