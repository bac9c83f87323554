#pragma once
// One AT command at a time: write the line, then wait for a reply while the
// window keeps processing its events (timer ticks, clicks and the clusters
// that the serial worker hands over). The receive handler sets the reply
// flags from each cluster and feeds the reply capture.
#include <cstdint>
#include <functional>
#include <string>

#include "Context.h"

#include "Replies.h"

class Transaction {
 public:
  explicit Transaction(Context& ctx);

  bool OkFlag = false;      // the last cluster contained "\r\nOK\r\n"
  bool ReplyFlag = false;   // a cluster arrived since SendCommand cleared it
  bool PromptFlag = false;  // the last cluster contained ">"
  bool RingFlag = false;    // the last cluster contained "RING\r\n"
  bool AbortFlag = false;   // the current (or next) wait ends as failed
  bool CaptureOn = false;
  std::string CaptureText;
  int ReplyTimeout = 180;   // ticks of SecondsCounter
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

  // OnRxClusterEvent of the serial port.
  void comportRxClusterEvent();
  void b_sendClick();
  void b_abortClick();

  // How a wait lets the window work and then pauses; tests and the headless
  // mode keep the defaults (process Qt events, sleep 50 ms).
  std::function<void()> ProcessEvents;
  std::function<void()> Pause;

 private:
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
