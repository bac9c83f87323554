#pragma once
// One AT command at a time: write the line, then wait for a reply while the
// window keeps processing its events (timer ticks, clicks and the clusters
// that the serial worker hands over). The receive handler sets the reply
// flags from each cluster and feeds the reply capture.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Context.h"

#include "Replies.h"

class QTimer;

class Transaction {
 public:
  explicit Transaction(Context& ctx);
  ~Transaction();

  bool OkFlag = false;      // the last cluster contained "\r\nOK\r\n"
  bool ReplyFlag = false;   // a cluster arrived since SendCommand cleared it
  bool PromptFlag = false;  // the last cluster contained ">"
  bool RingFlag = false;    // the last cluster contained "RING\r\n"
  bool AbortFlag = false;   // the current (or next) wait ends as failed
  bool CaptureOn = false;
  std::string CaptureText;
  int ReplyTimeout = 180;   // ticks of SecondsCounter
  // What SendCommand sets ReplyTimeout to (ReplyTimeout= in the
  // configuration; 180 by default).
  int CommandTimeout = 180;
  bool OfflineSession = false;

  // Set once the program is ending: every wait ends at once with false, so
  // a pass that is still running when Exit closes the window finishes
  // promptly instead of waiting for a timer that no longer ticks.
  bool ExitUnderway = false;

  // Writes command (with its "\r") and waits for any reply. A non-empty mode
  // skips the off-line connect.
  bool SendCommand(const std::string& command, const std::string& mode = {});
  // "ok" waits for OkFlag, "rx" for ReplyFlag, anything else only for the
  // timeout or an abort.
  bool WaitReply(const std::string& kind);
  std::string ReplyCapture(const std::string& word);

  // The phone echoed a command although ATE0 had been confirmed: it has
  // restarted (or been reset) and lost its settings. The cycle connects
  // again and clears the flag.
  bool EchoBack = false;
  // A power-on line (RDY, an unasked "+CPIN: READY" or "+CFUN: 1") came.
  bool PowerOnSeen = false;
  // With the phone speaking on its own, a listing or read was answered in
  // text mode: it came back with its power-on settings.
  bool SettingsLost = false;

  // Waits ticks seconds while the window works. False as soon as Abort,
  // Disconnect or Exit comes or the port closes (the caller stops asking).
  bool Rest(int ticks);

  // True while commands have gone unanswered for longer than a reply may
  // take: the phone said nothing since a command was sent more than
  // ReplyTimeout ticks ago, on a port that is still open. A service's
  // watchdog stops on it. Any cluster from the phone, an abort or a closed
  // port clears it.
  bool Stuck() const;
  // Seconds (ticks) since the phone last answered a command; -1 before it did.
  long SinceLastAnswer() const;
  // The last command the phone answered (without its "\r"); empty before.
  const std::string& LastAnswered() const { return lastAnswered_; }

  // OnRxClusterEvent of the serial port.
  void comportRxClusterEvent();
  // Told every cluster's text as it is taken (may be empty).
  std::function<void(const std::string&)> ClusterTaken;
  void b_sendClick();
  void b_abortClick();
  // Opens the port when it is closed and shows it connecting (yellow lamp,
  // port and speed locked) or not connected (red); whether it is open.
  bool ActivatePort();

  // Whether the phone may speak on its own (indications, call or
  // registration reports on): unsolicited lines are then taken out of every
  // burst before the flags and the capture look at it, so they never pass
  // for a reply. Empty or false: every burst is a reply, as without those
  // features. The journal and ClusterTaken always see the whole burst.
  std::function<bool()> SpeaksOnItsOwn;
  bool Filtering() const { return SpeaksOnItsOwn && SpeaksOnItsOwn(); }
  // Told when the phone announced that it started again (RDY, an unasked
  // "+CPIN: READY", "+CFUN: 1"); it has lost its settings. May be empty.
  std::function<void()> PowerOn;
  uint64_t PowerOnLines() const { return powerOnLines_; }
  // The gateway gave up waiting for the message prompt: a prompt that
  // still comes is cancelled with ESC, and so is one that may be pending
  // when the next command goes out.
  void CancelLatePrompt() { cancelPrompt_ = true; }
  bool LatePromptOwed() const { return cancelPrompt_; }

  // How a wait lets the window work and then pauses; tests and the headless
  // mode keep the defaults (process Qt events, then sleep 50 ms, or in fast
  // mode wait until a cluster, a tick, Abort or the exit comes).
  std::function<void()> ProcessEvents;
  std::function<void()> Pause;

  // Fast mode: a wait's pause ends as soon as a cluster has been handed
  // over instead of always sleeping 50 ms. Timeouts still count ticks.
  void SetFastWaits(bool on) { fastWaits_ = on; }
  bool FastWaits() const { return fastWaits_; }

 private:
  // The fast pause: returns at once when a cluster came in since the wait
  // last looked, otherwise blocks in the event loop until a cluster comes
  // in, Abort or the exit is set, the tick counter moves, or ms pass. It
  // never spins, so an idle wait costs no more than in the default mode.
  void WaitForCluster(int ms);

  // Off-line mode: the port opened for a command and the phone woken (AT,
  // ATE0); false when it did not answer. A port that does not open shows
  // as not connected and the command goes on (and fails at once).
  bool OpenOffline();
  // The command about to go out: its answer is awaited, an echo expected
  // again after ATZ, AT&F or ATE1.
  void NoteCommand(const std::string& command);

  // The steps of a cluster's handling: taken from the port (false: none to
  // handle), split from its unsolicited lines, the answer and a restarted
  // phone's echo noted, the lamps blinked, power-on lines noted, the reply
  // flags set.
  bool TakeCluster(std::string& text);
  UnsolicitedFilter::Split SplitBurst(const std::string& text, bool filter);
  void NoteAnswer(const UnsolicitedFilter::Split& split, bool filter);
  void NoteEcho(const std::string& text);
  void BlinkLamps();
  void NotePowerOn(const UnsolicitedFilter::Split& split);
  void SetReplyFlags(const std::string& reply, bool filter);

  // The default pause, 50 ms steps (see PauseOnSteps in the source).
  void PauseOnSteps();
  // What a wait looks at after its pause; events alone change it.
  struct Look {
    uint64_t clusters = 0;
    uint32_t tick = 0;
    bool abort = false, exit = false, open = false;
    bool operator==(const Look&) const = default;
  };
  Look Looked() const;
  // What the wait's previous pause ended on; none at the start of a wait.
  std::optional<Look> lastLook_;

  bool fastWaits_ = false;
  UnsolicitedFilter unsolicited_;
  bool filtering_ = false;         // the last burst went through the filter
  uint64_t filterOpenCount_ = 0;   // the port's OpenCount at the last burst
  bool cancelPrompt_ = false;
  uint64_t powerOnLines_ = 0;
  bool unanswered_ = false;         // a command waits for the phone's first word
  uint32_t unansweredSince_ = 0;    // SecondsCounter when it was sent
  std::string inFlight_;            // the command whose reply is awaited
  bool echoOff_ = false;            // ATE0 answered OK, not undone since
  bool firstCluster_ = false;       // the next cluster is the first after a command
  std::string lastAnswered_;
  bool answeredOnce_ = false;
  uint32_t lastAnswerAt_ = 0;
  uint64_t clusterCount_ = 0;       // clusters handled so far
  uint64_t pauseMark_ = 0;           // clusterCount_ when the current wait last looked
  std::unique_ptr<QTimer> pauseTimer_;  // bounds a fast pause

  Controls& ui_;
  Journal& journal_;
  TrayState& tray_;
  TSerialPort& comport_;
  PollClock& clock_;
};

// Writes command with the reply capture on and waits until the captured
// reply holds its final result code: a phone may send its information lines
// and the result in separate bursts, or an unsolicited RING may come first.
// The reply stays in CaptureText. False when no reply came (timeout or abort).
bool AskWhole(Transaction& dialogue, const std::string& command);
// AskWhole, then true when the phone's whole reply holds its OK (its final
// OK may come in a burst of its own, even split from its last CR LF).
bool CommandWithFinalReply(Transaction& dialogue, const std::string& command);
// With the capture on and a first reply in: waits until the capture holds its
// final result code. False on timeout or abort.
bool WaitWhole(Transaction& dialogue);
