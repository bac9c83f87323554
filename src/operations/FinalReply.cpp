#include "FinalReply.h"

#include "Transaction.h"

bool HasFinalResult(const std::string& reply) {
  return reply.find("\r\nOK\r\n") != std::string::npos || reply.find("ERROR") != std::string::npos ||
         reply.find("NO CARRIER") != std::string::npos;
}

bool CommandWithFinalReply(Transaction& dialogue, const std::string& command) {
  dialogue.ReplyCapture("start");
  dialogue.OkFlag = false;
  bool answered = dialogue.SendCommand(command);
  while (answered && !dialogue.OkFlag && !HasFinalResult(dialogue.CaptureText)) {
    dialogue.ReplyFlag = false;
    answered = dialogue.WaitReply("rx");
  }
  dialogue.ReplyCapture("stop");
  return answered && dialogue.OkFlag;
}
