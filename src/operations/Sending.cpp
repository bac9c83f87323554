#include "Sending.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPalette>
#include <QSpinBox>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "Replies.h"
#include "SerialPort.h"
#include "ServiceCentre.h"
#include "Transaction.h"
#include "sms_concat.h"
#include "sms_submit.h"
#include "text_helpers.h"

namespace {
// The reply timeout of a command, in ticks. An answer owed to a written PDU
// is waited for no longer than this from the PDU, also while stopping.
constexpr uint32_t kAnswerTicks = 180;
}  // namespace

Sending::Sending(Context& ctx, Transaction& dialogue) : ctx_(ctx), dialogue_(dialogue) {}
Sending::~Sending() = default;

bool Sending::StopAsked(uint32_t disconnectsAtStart) const {
  const PollClock& clock = ctx_.clock;
  return clock.StopPosted() || dialogue_.ExitUnderway || clock.DisconnectsRun != disconnectsAtStart;
}

bool Sending::AwaitAnswer(bool& replied, uint32_t written) {
  PollClock& clock = ctx_.clock;
  // A phone may send "+CMGS: n" and its final OK in separate bursts: the
  // send is judged on the whole reply, not on its first burst, so a message
  // that went out is never reported as failed (and sent again).
  bool whole = replied && (dialogue_.OkFlag || HasFinalResult(dialogue_.CaptureText));
  while (!whole) {
    if (clock.StopPosted()) {
      // Disconnect or Exit waits for this answer (their abort ended the
      // wait), but not beyond the send's own timeout.
      const uint32_t elapsed = PollClock::Elapsed(written, clock.SecondsCounter);
      if (elapsed >= kAnswerTicks || !ctx_.comport.Active()) break;
      dialogue_.ReplyTimeout = static_cast<int>(kAnswerTicks - elapsed);
    } else if (!replied) {
      break;
    }
    dialogue_.ReplyFlag = false;
    const bool got = dialogue_.WaitReply("rx");
    dialogue_.ReplyTimeout = static_cast<int>(kAnswerTicks);
    if (got) replied = true;
    else if (!clock.StopPosted()) break;
    whole = replied && HasFinalResult(dialogue_.CaptureText);
  }
  return whole;
}

bool Sending::AskPrompt(const std::string& command, bool& answered) {
  dialogue_.ReplyCapture("start");
  answered = dialogue_.SendCommand(command);
  while (answered && !HoldsPrompt(dialogue_.CaptureText) && !HasFinalResult(dialogue_.CaptureText)) {
    dialogue_.ReplyFlag = false;
    answered = dialogue_.WaitReply("rx");
  }
  dialogue_.ReplyCapture("stop");
  answered = answered && (HoldsPrompt(dialogue_.CaptureText) || HasFinalResult(dialogue_.CaptureText));
  if (!answered) dialogue_.CancelLatePrompt();
  return answered && HoldsPrompt(dialogue_.CaptureText);
}

void Sending::ShowCopies(int count, bool sending) {
  QLineEdit* field = ctx_.ui.ed_Ncopies;
  field->setText(QString::number(count));
  if (sending) {
    QPalette p = field->palette();
    p.setColor(QPalette::Text, Qt::red);
    field->setPalette(p);
  } else {
    field->setPalette(QPalette());  // back to the inherited colours
  }
}

bool Sending::ModesConfirmed(bool ownRow) const {
  // Off-line mode runs its own connect before each command and closes the
  // port after the pass: nothing is taken for granted there.
  return modesConfirmed_ && (ctx_.state.FastMode || ownRow) && !ctx_.ui.cb_offline->isChecked() && ctx_.comport.Active() &&
         ctx_.comport.OpenCount() == modesOpenCount_;
}

bool Sending::Prepare(bool ownRow) {
  Journal& journal = ctx_.journal;
  if (ModesConfirmed(ownRow)) {
    journal.WriteLog("set pdu mode ok");
    journal.WriteLog("SMS service supported ok");
    return true;
  }
  modesConfirmed_ = false;
  // Only OkFlag counts here. It is cleared first: a command that got no
  // answer at all must not pass on the OK of the command before it.
  // The whole reply counts, not only its first burst: "+CSMS: 1,1,1" and
  // its OK may come apart.
  auto confirmed = [this](const char* command) {
    dialogue_.OkFlag = false;
    return AskWhole(dialogue_, command) && (dialogue_.OkFlag || ReplyHoldsOk(dialogue_.CaptureText));
  };
  if (!confirmed("ATE0\r")) return false;
  if (!confirmed("AT+CMGF=0\r")) return false;
  journal.WriteLog("set pdu mode ok");
  if (!confirmed("AT+CSMS=0\r")) return false;
  journal.WriteLog("SMS service supported ok");
  // Remembered only where it can be used: fast mode, or a spool row, on a port
  // that stays open.
  if ((ctx_.state.FastMode || ownRow) && !ctx_.ui.cb_offline->isChecked() && ctx_.comport.Active()) {
    modesConfirmed_ = true;
    modesOpenCount_ = ctx_.comport.OpenCount();
  }
  return true;
}

namespace {
// "1-2" or "1" for the parts before `upTo` (1-based, exclusive).
std::string PartsBefore(int upTo) {
  if (upTo <= 1) return "no part";
  return upTo == 2 ? "part 1" : "parts 1-" + std::to_string(upTo - 1);
}
}  // namespace

bool Sending::LoadReferences() {
  if (refs_) return true;
  refs_ = std::make_unique<pdulink::ConcatReferenceCounter>(
      InBaseDir(ctx_.state, std::string(pdulink::kConcatRefFileName)));
  if (refs_->Load()) return true;
  // Unreadable: counting starts over, and the next write replaces it.
  ctx_.journal.WriteLog("Reference file unreadable: " + refs_->Path());
  return false;
}

pdulink::SubmitChoices Sending::Choices(const SendHooks& hooks) const {
  Controls& ui = ctx_.ui;
  pdulink::SubmitChoices choices;
  choices.sendOptions = ui.cb_sendoptions->isChecked();
  // Matching reports asks for one with every message.
  choices.statusReport = ui.cb_SRR->isChecked() || ctx_.state.MatchReports;
  choices.utf8Body = ctx_.state.Utf8Files;
  choices.shiftTables = ctx_.state.ShiftTables;
  // Read beforehand; its journal line (if any) is placed where the stored
  // value is taken, and only when no "#vp" option replaces it.
  choices.stored = ReadValidityFile(InBaseDir(ctx_.state, ServiceCentre::kValidityFile));
  if (hooks.own) {
    choices.sendOptions = false;
    choices.statusReport = hooks.own->statusReport;
    choices.utf8Body = true;
    choices.flash = hooks.own->flash;
    choices.validity = hooks.own->validity;
    choices.smsc = hooks.own->smsc;
  }
  return choices;
}

void Sending::JournalAssembly(const pdulink::SubmitPdu& pdu) {
  bool vpShown = false;
  for (const std::string& line : pdu.journal) {
    // The spin edit takes the period before "Start sending to:", as the
    // stored value is read before the number is looked at.
    if (!vpShown && line.rfind("Start sending to: ", 0) == 0) {
      ctx_.ui.se_vp_rByte->setValue(pdu.validityPeriod);
      vpShown = true;
    }
    ctx_.journal.WriteLog(line);
  }
}

int Sending::SendSMS(const std::string& number, const std::string& body, const SendHooks& hooks) {
  Journal& journal = ctx_.journal;
  const uint32_t disconnects = ctx_.clock.DisconnectsRun;
  const LongMessageSettings& lm = ctx_.state.LongMessages;

  const pdulink::SubmitChoices choices = Choices(hooks);
  const pdulink::ConcatChoices concat{lm.longSms, lm.maxParts, lm.ref16};
  if (concat.enabled) LoadReferences();
  const Assemble assemble = [&] {
    return pdulink::AssembleConcatSubmit(number, body, choices, concat, refs_ ? refs_->Peek() : 0);
  };
  pdulink::ConcatSubmit message = assemble();
  JournalAssembly(message.base);
  if (!message.base.ok) return kInvalid;
  if (hooks.Text) hooks.Text(message.base.body);
  if (message.tooManyParts) {
    journal.WriteLog(message.errorLine);
    return kInvalid;
  }

  if (!Prepare(hooks.own.has_value())) return kNotPrepared;

  for (const pdulink::SubmitPart& part : message.parts) {
    if (part.pduHex.size() % 2 != 0) {
      journal.WriteLog("sms length error");
      return kInvalid;
    }
  }
  return SendCopies(message, assemble, hooks, disconnects);
}

int Sending::SendCopies(pdulink::ConcatSubmit& message, const Assemble& assemble, const SendHooks& hooks,
                        uint32_t disconnects) {
  Controls& ui = ctx_.ui;
  Journal& journal = ctx_.journal;
  const int total = static_cast<int>(message.parts.size());
  const bool longMessage = total > 1;
  // A message with its own settings (a spool row) is one message to one
  // recipient: the copies field is for files and typed messages only.
  int count = hooks.own ? 1 : pdulink::ParseDecimal(pdulink::TrimBlanks(ToAnsi(ui.ed_Ncopies->text()))).value_or(1);
  ShowCopies(count, true);
  ctx_.state.SendCycleStop = false;
  int result = kInvalid;
  for (bool firstCopy = true;; firstCopy = false) {
    if (longMessage) {
      // Every copy of a long message is a message of its own to the
      // recipient: it takes the next reference.
      if (!firstCopy) message = assemble();
      std::string why;
      if (!refs_->Advance(&why)) journal.WriteLog("Reference file not written: " + refs_->Path() + " (" + why + ")");
    }
    int bytes = 0;
    for (const pdulink::SubmitPart& part : message.parts) {
      const PartEnd end = SendPart(part, total, hooks, disconnects);
      if (end != PartEnd::Confirmed && end != PartEnd::Refused) {
        const int rc = EndPartWay(longMessage, part.seq, total, end == PartEnd::Unanswered, count, result);
        // Without any answer to the first prompt nothing of this message went out.
        return end == PartEnd::NoPrompt && firstCopy && part.seq == 1 && rc == kInvalid ? kNotSent : rc;
      }
      const bool confirmed = end == PartEnd::Confirmed;
      if (!longMessage) {
        if (confirmed) {
          journal.WriteLog("Send SMS Command ok");
          result = part.userDataLength;
        } else {
          // A refused message may mean a phone that lost its modes: the next
          // send prepares again.
          ForgetModes();
        }
        break;
      }
      if (confirmed) journal.WriteLog("Send SMS Command ok");
      journal.WriteLog("Send errorlevel(bytes):" + std::to_string(confirmed ? part.userDataLength : kInvalid) +
                       " part " + std::to_string(part.seq) + "/" + std::to_string(total));
      // A refused part ends the message: the parts after it are not sent.
      if (!confirmed) return EndPartWay(longMessage, part.seq, total, false, count, result);
      bytes += part.userDataLength;
    }
    if (longMessage) result = bytes;
    if (count > 0) --count;
    ui.ed_Ncopies->setText(QString::number(count));
    // Disconnect and Exit end the copies like Stop.
    if (count < 1 || ctx_.state.SendCycleStop || StopAsked(disconnects)) break;
  }
  ShowCopies(ctx_.state.SendCycleStop || StopAsked(disconnects) ? count : 1, false);
  return result;
}

Sending::PartEnd Sending::SendPart(const pdulink::SubmitPart& part, int total, const SendHooks& hooks,
                                   uint32_t disconnects) {
  ctx_.journal.WriteLog("Executing Send SMS Command:");
  if (auto refused = AskForPdu("AT+CMGS=" + std::to_string(part.cmgsLength) + "\r")) return *refused;
  if (hooks.Part) hooks.Part(part.seq, total);
  // Disconnect or Exit asked for meanwhile, or the caller keeps the PDU
  // back: the phone's entry is cancelled and nothing goes out.
  if (StopAsked(disconnects) || (hooks.BeforePdu && !hooks.BeforePdu())) {
    if (ctx_.comport.Active()) ctx_.comport.SendText("\x1B");
    return PartEnd::NotWritten;
  }
  return WritePdu(part, total, hooks);
}

std::optional<Sending::PartEnd> Sending::AskForPdu(const std::string& cmgs) {
  Journal& journal = ctx_.journal;
  if (dialogue_.Filtering()) {
    // Unsolicited lines are no answer: the prompt is looked for in the
    // phone's own reply.
    bool answered = false;
    if (AskPrompt(cmgs, answered)) return std::nullopt;
    journal.WriteLog(answered ? "No SMS body prompt -error" : "error sending command");
    return answered ? PartEnd::NotWritten : PartEnd::NoPrompt;
  }
  if (!dialogue_.SendCommand(cmgs)) {
    journal.WriteLog("error sending command");
    return PartEnd::NotWritten;
  }
  if (!dialogue_.PromptFlag) {
    journal.WriteLog("No SMS body prompt -error");
    return PartEnd::NotWritten;
  }
  return std::nullopt;
}

Sending::PartEnd Sending::WritePdu(const pdulink::SubmitPart& part, int total, const SendHooks& hooks) {
  // From the PDU on, Disconnect and Exit wait for its answer.
  ctx_.clock.AnswerOwed = true;
  const uint32_t written = ctx_.clock.SecondsCounter;
  dialogue_.ReplyCapture("start");
  bool replied = dialogue_.SendCommand(part.pduHex + "\x1A", "noAT");
  const bool whole = AwaitAnswer(replied, written);
  ctx_.clock.AnswerOwed = false;
  dialogue_.ReplyCapture("stop");
  const bool confirmed = dialogue_.OkFlag || ReplyHoldsOk(dialogue_.CaptureText);
  if (hooks.Answered && replied && (whole || confirmed)) hooks.Answered(confirmed);
  if (hooks.Reference && replied && confirmed)
    if (auto mr = ParseCmgsReference(dialogue_.CaptureText)) hooks.Reference(part.seq, total, *mr);
  if (!replied) return PartEnd::Unanswered;
  ctx_.journal.WriteLog("Sending string done");
  return confirmed ? PartEnd::Confirmed : PartEnd::Refused;
}

int Sending::EndPartWay(bool longMessage, int seq, int total, bool mayHaveGone, int count, int result) {
  ForgetModes();
  if (!longMessage) return result;
  // A long message ended part way: the journal says what the recipient has.
  std::string line = "Long message ended at part " + std::to_string(seq) + "/" + std::to_string(total) + ": " +
                     PartsBefore(seq) + " sent";
  if (mayHaveGone) line += ", part " + std::to_string(seq) + " unknown";
  ctx_.journal.WriteLog(line);
  ShowCopies(count, false);
  return kInvalid;
}
