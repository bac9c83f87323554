#pragma once
// One command whose whole reply is wanted, and whether it was OK.
#include <string>

class Transaction;

// AskWhole, then true when the phone's whole reply holds its OK. The reply
// stays in CaptureText.
bool CommandWithFinalReply(Transaction& dialogue, const std::string& command);
