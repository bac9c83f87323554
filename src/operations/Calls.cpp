#include "Calls.h"

#include <QCheckBox>

#include "Controls.h"
#include "Journal.h"
#include "Replies.h"
#include "Transaction.h"

Calls::Calls(Context& ctx, Transaction& dialogue, ArchiveStep archive)
    : ArchiveMessage(std::move(archive)), ctx_(ctx), dialogue_(dialogue) {}

std::string Calls::CheckIncomingCall() {
  std::string result;
  // A phone without AT+CPAS cannot tell a ringing phone from a stray RING.
  if (!CommandWithFinalReply(dialogue_, "AT+CPAS=?\r")) return result;
  if (!CommandWithFinalReply(dialogue_, "AT+CPAS\r")) return result;
  std::string status = dialogue_.CaptureText;
  if (!CutThrough(status, "+CPAS:")) return result;
  if (pdulink::TrimBlanks(status).substr(0, 1) != "3") return result;  // 3: ringing (TS 27.007)

  result = "OK";
  if (CommandWithFinalReply(dialogue_, "AT+CLCC=?\r") && CommandWithFinalReply(dialogue_, "AT+CLCC\r")) {
    CallListScan scan = ScanCallList(dialogue_.CaptureText, dialogue_.ProcessEvents);
    if (!scan.number.empty()) {
      if (Record(scan.number)) result = scan.number;
    } else if (scan.hiddenCaller) {
      ctx_.journal.WriteLog("Hidden caller, call not recorded");
    }
  }
  ctx_.journal.WriteLog("Terminate incoming call:");
  CommandWithFinalReply(dialogue_, "ATH0\r");
  dialogue_.RingFlag = false;
  return result;
}

bool Calls::Record(const std::string& number) {
  pdulink::ZonedTime now = Now();
  std::string pdu = pdulink::CallMessagePdu(number, now.local, now.biasMinutes);
  if (pdu.empty()) {
    ctx_.journal.WriteLog("Caller number not readable, call not recorded: " + number);
    return false;
  }
  if (!ArchiveMessage) {
    ctx_.journal.WriteLog("No message archive, call not recorded: " + number);
    return false;
  }
  ArchiveMessage(pdu, ctx_.ui.cb_call_save->isChecked());
  return true;
}
