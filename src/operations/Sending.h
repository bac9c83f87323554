#pragma once
// Sending one message: the send options of the body, the SMS-SUBMIT PDU,
// the preparation commands, and as many copies as ed_Ncopies asks for,
// which Stop (SendCycleStop) cuts short after the copy in progress.
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

 private:
  void ShowCopies(int count, bool sending);

  Context& ctx_;
  Transaction& dialogue_;
};
