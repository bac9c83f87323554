#include "Battery.h"

#include <cstdio>
#include <filesystem>

#include "FormState.h"
#include "Journal.h"
#include "Replies.h"
#include "Transaction.h"
#include "TrayState.h"

namespace {

constexpr int kLowLevel = 20;
// "Аккумулятор разряжен" (battery discharged) in Windows-1251.
constexpr const char* kLowBatteryHint =
    "\xC0\xEA\xEA\xF3\xEC\xF3\xEB\xFF\xF2\xEE\xF0 \xF0\xE0\xE7\xF0\xFF\xE6\xE5\xED";

}  // namespace

std::string LowBatteryLine(const pdulink::LocalTime& t) {
  using pdulink::ZeroPad;
  auto two = [](int v) { return ZeroPad(static_cast<unsigned>(v), 2); };
  return two(t.day) + "." + two(t.month) + "." + ZeroPad(static_cast<unsigned>(t.year), 4) + " " + two(t.hour) +
         ":" + two(t.minute) + ":" + two(t.second) + " Low Battary\r\n";
}

bool WriteFlagFile(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

bool RemoveFlagFile(const std::string& path) {
  std::error_code ec;
  auto status = std::filesystem::symlink_status(path, ec);
  if (ec || !std::filesystem::exists(status)) return true;
  return std::filesystem::remove(path, ec) && !ec;
}

Battery::Battery(Context& ctx, Transaction& dialogue) : ctx_(ctx), dialogue_(dialogue) {}

int Battery::CheckBattery() {
  CommandWithFinalReply(dialogue_, "AT+CBC\r");
  BatteryReading reading = ReadBatteryReply(dialogue_.CaptureText);
  // The flag file keeps its state unless a level was read. No level at all
  // (ERROR, no "+CBC:", letters, no answer) passes in silence; a level that
  // cannot be true, or one that may have lost digits, is worth a line.
  if (reading.kind == BatteryReading::OutOfRange || reading.kind == BatteryReading::CutOff)
    ctx_.journal.WriteLog("Battery level not read");
  if (reading.kind != BatteryReading::Level) return 0;
  const int level = reading.level;
  ctx_.state.BatteryLevel = level;
  if (level == 0) return 0;

  std::string path = InBaseDir(ctx_.state, kLowBatteryFlagFile);
  if (level <= kLowLevel) {
    ctx_.journal.WriteLog("Low Battery!");
    ctx_.tray.SetTrayState(4, kLowBatteryHint);
    if (!WriteFlagFile(path, LowBatteryLine(pdulink::LocalNow())))
      ctx_.journal.WriteLog(std::string("Error save flag file: ") + kLowBatteryFlagFile);
  } else if (!RemoveFlagFile(path)) {
    ctx_.journal.WriteLog(std::string("Error delete flag file: ") + kLowBatteryFlagFile);
  }
  return level;
}
