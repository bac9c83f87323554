#pragma once
// Sending one message: the send options of the body, the SMS-SUBMIT PDU,
// the preparation commands, and as many copies as ed_Ncopies asks for,
// which Stop (SendCycleStop) cuts short after the copy in progress.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Context.h"

class Transaction;
namespace pdulink {
class ConcatReferenceCounter;
struct ConcatSubmit;
struct SubmitChoices;
struct SubmitPart;
struct SubmitPdu;
}

// What a caller learns of the PDUs of a send, to keep its own record of a
// message that may be out.
struct SendHooks {
  // Which PDU comes next, before its BeforePdu: the part (1-based) and the
  // parts of the message (1 for a message that fits one PDU).
  std::function<void(int seq, int total)> Part;
  // Right before a copy's PDU is written (the prompt is in). False keeps the
  // PDU back: the phone's entry is cancelled (ESC) and the send ends.
  std::function<bool()> BeforePdu;
  // The phone's final answer to a written PDU, as soon as it is in: true
  // for OK. Not called when no answer came.
  std::function<void(bool confirmed)> Answered;
  // After Answered, for a PDU the phone confirmed with "+CMGS: <mr>": the
  // part, the parts of the message and the reference (TP-MR, 0..255).
  std::function<void(int seq, int total, int reference)> Reference;
  // The text that goes out (send options cut off, trimmed), once the
  // message is assembled.
  std::function<void(const std::string& text)> Text;
  // A message that brings its own settings (the spool): the body is UTF-8
  // and never holds send options, and these replace the window's status
  // report box, validity period and service centre.
  struct OwnSettings {
    bool flash = false;
    std::optional<std::uint8_t> validity;
    std::string smsc;
    bool statusReport = false;
  };
  std::optional<OwnSettings> own;
};

class Sending {
 public:
  // Results besides the user-data length of a confirmed send.
  static constexpr int kInvalid = -1;      // bad option or number, no copy confirmed, a part refused
  static constexpr int kNotPrepared = -2;  // ATE0, AT+CMGF=0 or AT+CSMS=0 not confirmed
  // With a phone that speaks on its own: no message prompt came (the wait
  // ended by timeout or abort) and no PDU of the message reached the phone.
  static constexpr int kNotSent = -3;

  Sending(Context& ctx, Transaction& dialogue);
  ~Sending();

  // number as typed, body in cp1251, or UTF-8 with Utf8Files (it may begin
  // with send options).
  // With LongSms on, a body longer than one message goes out as its
  // concatenated parts, each with a "Send errorlevel(bytes):" line that
  // names the part; the first part refused or unanswered ends the message
  // (kInvalid) with a journal line naming the parts sent. Otherwise the
  // result is the user-data length, of all parts together for a long one.
  // Disconnect or Exit asked for during the send ends it before the next
  // PDU is written; once a PDU is written, its answer is waited for (up to
  // the reply timeout, counted from the PDU) even then.
  int SendSMS(const std::string& number, const std::string& body, const SendHooks& hooks = {});

  // Fast mode: after ATE0, AT+CMGF=0 and AT+CSMS=0 were all confirmed, later
  // sends on the same open port skip them (their journal lines are still
  // written). Messages with their own settings (the spool's rows) do so in
  // either mode: a burst of rows goes at the phone's pace. Anything that may have changed the phone's modes forgets it:
  // the port closed or reopened, a connect, a command typed by the operator,
  // off-line mode, a failed command of a send, or the fast mode switched.
  void ForgetModes() { modesConfirmed_ = false; }
  bool ModesConfirmed(bool ownRow = false) const;

 private:
  void ShowCopies(int count, bool sending);
  // The three preparation commands, or nothing when fast mode may skip them;
  // false when one was not confirmed.
  bool Prepare(bool ownRow);
  // Disconnect or Exit asked for, or carried out, since the send began.
  bool StopAsked(uint32_t disconnectsAtStart) const;
  // After a PDU written at tick `written` with a first reply (or none, when
  // replied is false): waits until the whole answer is in. The abort that
  // comes with Disconnect or Exit does not end this wait; the reply timeout
  // counted from the PDU, Abort alone and a lost port do. False when the
  // answer is not complete.
  bool AwaitAnswer(bool& replied, uint32_t written);
  // AT+CMGS judged on the phone's own answer, unsolicited lines aside: the
  // wait ends at the prompt or a final result. Answered: false when neither
  // came; the prompt is then cancelled should it still come.
  bool AskPrompt(const std::string& command, bool& answered);

  // SendSMS's steps: the choices of the PDU (the window's, or a spool
  // row's own); the assembly's journal lines; the copies, each PDU by PDU.
  using Assemble = std::function<pdulink::ConcatSubmit()>;
  pdulink::SubmitChoices Choices(const SendHooks& hooks) const;
  void JournalAssembly(const pdulink::SubmitPdu& pdu);
  int SendCopies(pdulink::ConcatSubmit& message, const Assemble& assemble, const SendHooks& hooks,
                 uint32_t disconnects);
  // How one PDU of a copy ended.
  enum class PartEnd {
    Confirmed,   // the phone's OK
    Refused,     // answered without OK
    NoPrompt,    // no answer at all to AT+CMGS (a phone that speaks on its own)
    NotWritten,  // the command failed, no prompt, or stopped before the PDU
    Unanswered,  // the PDU written, no answer: it may have gone out
  };
  PartEnd SendPart(const pdulink::SubmitPart& part, int total, const SendHooks& hooks, uint32_t disconnects);
  // AT+CMGS until its prompt: nothing when the prompt came, otherwise how
  // the part ended (its journal line written).
  std::optional<PartEnd> AskForPdu(const std::string& cmgs);
  // The PDU written and its whole answer awaited; the hooks told.
  PartEnd WritePdu(const pdulink::SubmitPart& part, int total, const SendHooks& hooks);
  // A copy ended before its last part: the modes forgotten and, for a long
  // message, the journal line of the parts the recipient has; the send's
  // result.
  int EndPartWay(bool longMessage, int seq, int total, bool mayHaveGone, int count, int result);

  // The concatenation references, from their file in the working directory
  // at the first long message; false when the file was unreadable.
  bool LoadReferences();

  Context& ctx_;
  Transaction& dialogue_;
  std::unique_ptr<pdulink::ConcatReferenceCounter> refs_;
  bool modesConfirmed_ = false;
  uint64_t modesOpenCount_ = 0;  // the port's OpenCount when they were confirmed
};
