#pragma once
// The timer's clock and its one command slot. A tick advances the counter
// (0..86399, wrapping) before anything else runs; a later post into the
// slot overwrites an earlier one.
#include <cstdint>

enum PendingCode : int {
  kNoCommand = 0,
  kConnect = 1,
  kDutyPass = 2,
  kDisconnect = 3,
  kExit = 4,
};

struct PollClock {
  static constexpr uint32_t kDay = 86400;
  uint32_t SecondsCounter = 0;
  int PendingCommand = kNoCommand;
  // A PDU has been written and its answer is not in yet: a disconnect or
  // exit posted meanwhile waits, so that the answer decides what becomes of
  // the message.
  bool AnswerOwed = false;
  // Disconnect steps run so far, so that an operation can tell that one ran
  // inside it.
  uint32_t DisconnectsRun = 0;

  bool StopPosted() const { return PendingCommand == kDisconnect || PendingCommand == kExit; }

  void Advance() {
    ++SecondsCounter;
    if (SecondsCounter >= kDay) SecondsCounter = 0;
  }
  // Ticks from start to now, counted modulo a day so a wait that spans the
  // wrap measures its real length.
  static uint32_t Elapsed(uint32_t start, uint32_t now) { return (now + kDay - start) % kDay; }
};
