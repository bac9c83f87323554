#include "FinalReply.h"

#include "Transaction.h"

bool CommandWithFinalReply(Transaction& dialogue, const std::string& command) {
  dialogue.OkFlag = false;
  return AskWhole(dialogue, command) && dialogue.OkFlag;
}
