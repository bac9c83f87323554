#pragma once
// One command whose whole reply is wanted: a phone may send its information
// lines and the final result code in separate bursts, or an unsolicited
// RING may arrive first, so the wait goes on until a final result code is in.
#include <string>

class Transaction;

// Sends command with the reply capture on and waits until the captured
// reply holds a final result code (OK, ERROR, +CME/+CMS ERROR, NO CARRIER),
// the reply timeout passes or the operator aborts. The reply stays in
// CaptureText. True when the phone answered OK.
bool CommandWithFinalReply(Transaction& dialogue, const std::string& command);

// Whether a reply holds a final result code.
bool HasFinalResult(const std::string& reply);
