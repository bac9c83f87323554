#pragma once
// Sending one message: the send options of the body, the SMS-SUBMIT PDU,
// the preparation commands, and as many copies as ed_Ncopies asks for,
// which Stop (SendCycleStop) cuts short after the copy in progress.
#include <cstdint>
#include <string>

#include "Context.h"

class Transaction;

class Sending {
 public:
  // Results besides the user-data length of a confirmed send.
  static constexpr int kInvalid = -1;      // bad option or number, or no copy confirmed
  static constexpr int kNotPrepared = -2;  // ATE0, AT+CMGF=0 or AT+CSMS=0 not confirmed

  Sending(Context& ctx, Transaction& dialogue);

  // number as typed, body in cp1251 (it may begin with send options).
  int SendSMS(const std::string& number, const std::string& body);

  // Fast mode: after ATE0, AT+CMGF=0 and AT+CSMS=0 were all confirmed, later
  // sends on the same open port skip them (their journal lines are still
  // written). Anything that may have changed the phone's modes forgets it:
  // the port closed or reopened, a connect, a command typed by the operator,
  // off-line mode, a failed command of a send, or the fast mode switched.
  void ForgetModes() { modesConfirmed_ = false; }
  bool ModesConfirmed() const;

 private:
  void ShowCopies(int count, bool sending);
  // The three preparation commands, or nothing when fast mode may skip them;
  // false when one was not confirmed.
  bool Prepare();

  Context& ctx_;
  Transaction& dialogue_;
  bool modesConfirmed_ = false;
  uint64_t modesOpenCount_ = 0;  // the port's OpenCount when they were confirmed
};
