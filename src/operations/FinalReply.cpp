#include "FinalReply.h"

#include "Replies.h"
#include "Transaction.h"

bool CommandWithFinalReply(Transaction& dialogue, const std::string& command) {
  // The whole reply counts: its final OK may come in a burst of its own,
  // even split from its last CR LF.
  return AskWhole(dialogue, command) && ReplyHoldsOk(dialogue.CaptureText);
}
