#pragma once
// StoreAlarm=PERCENT: how full the phone's message store is, read before
// every listing (AT+CPMS?), with one journal line when the use reaches the
// threshold and one when it falls below it again; a full store (a listing at
// capacity, "+CMS ERROR: 322" or an "smsfull" indicator) is journaled at
// once. Each of these runs the OnAlarm hook. Off (nothing asked, nothing
// journaled) while the key is absent or 0.
#include <functional>
#include <string>

#include "Context.h"

class Transaction;

class StoreAlarm {
 public:
  StoreAlarm(Context& ctx, Transaction& dialogue);

  bool On() const;
  // Before a listing: asks AT+CPMS? and journals a crossing.
  void Check();
  // Every cluster the phone sends: a store that says it is full.
  void Seen(const std::string& text);

  // An alarm for the OnAlarm hook: its name ("store", "store-ok",
  // "store-full") and value (percent used, or the line the phone wrote).
  std::function<void(const std::string& name, const std::string& value)> OnAlarm;

  // The store as /status shows it: "SM 9 of 10 used (90 %)", ", full" when
  // full; empty before it was read.
  std::string StatusText() const;

 private:
  void Full(const std::string& why);
  void Alarm(const std::string& name, const std::string& value);

  FormState& state_;
  Journal& journal_;
  Transaction& dialogue_;
  std::string memory_;
  bool above_ = false;  // at or above the threshold at the last reading
};
