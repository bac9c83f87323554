#pragma once
// The incoming-call duty: when the phone rings, hang up, and record the
// caller of an incoming voice call as a received message "#Call#" that goes
// through the same archive as real messages.
#include <functional>
#include <string>

#include "Context.h"
#include "call_message.h"

class Transaction;

class Calls {
 public:
  // Decodes and reports one message and, with save set, writes its files.
  using ArchiveStep = std::function<bool(const std::string& pduHex, bool save)>;

  Calls(Context& ctx, Transaction& dialogue, ArchiveStep archive = {});

  // "" when the phone is not ringing (or could not say), "OK" when it was
  // hung up without a call being recorded, otherwise the caller's number as
  // the phone gave it.
  std::string CheckIncomingCall();

  // Where recorded calls go; while it is empty calls are hung up and
  // reported in the journal but not recorded.
  ArchiveStep ArchiveMessage;
  // The moment a call is recorded at (tests fix it).
  std::function<pdulink::ZonedTime()> Now = [] { return pdulink::ZonedNow(); };

 private:
  // Records the call; true when it went to the archive.
  bool Record(const std::string& number);

  Context& ctx_;
  Transaction& dialogue_;
};
