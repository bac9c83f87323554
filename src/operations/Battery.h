#pragma once
// The battery duty: read the charge with AT+CBC; at 20 percent or less warn
// in the journal and the tray and raise the flag file smsLowBat.f (for
// whatever watches the gateway from outside), above 20 percent remove it.
#include <string>

#include "Context.h"
#include "own_files.h"
#include "text_helpers.h"

class Transaction;

inline constexpr const char* kLowBatteryFlagFile = pdulink::kLowBatteryFileName.data();

// The flag file's one line: "dd.MM.yyyy hh:mm:ss Low Battary" and CR LF.
std::string LowBatteryLine(const pdulink::LocalTime& t);
// Creates or overwrites the file with text; false when it could not be
// written and closed.
bool WriteFlagFile(const std::string& path, const std::string& text);
// Removes the file if it is there; false when it is there and stays.
bool RemoveFlagFile(const std::string& path);

class Battery {
 public:
  Battery(Context& ctx, Transaction& dialogue);

  // The charge level read (1..100), 0 when none could be read or the phone
  // said 0.
  int CheckBattery();

 private:
  Context& ctx_;
  Transaction& dialogue_;
};
