#pragma once
// The one-second tick: advance the clock, then act on the posted command:
// connect (at multiples of 3), a duty pass, disconnect, or disconnect and
// end the program. While connected every pass reposts the next one.
#include <QObject>
#include <functional>
#include <string>

#include "Context.h"

class Transaction;
class Connection;

class PollingCycle {
 public:
  PollingCycle(Context& ctx, Transaction& dialogue, Connection& connection);

  void timer1Timer();
  void DutyPass();
  void cb_autoreadClick();
  void cb_autosendClick();

  // The duty steps that other operations provide; an unset step is skipped.
  struct Duties {
    std::function<std::string()> CheckIncomingCall;
    std::function<void()> SaveSmsc;       // releases sb_saveSmsc itself
    std::function<void()> listSMS;
    std::function<int(const std::string& number, const std::string& body)> SendSMS;
    std::function<void()> DeleteByNumbers;  // releases sb_delete itself
    std::function<void()> WatchTurn;
    std::function<int()> CheckBattery;
    std::function<void()> CheckSignal;  // every SignalInt seconds when > 0
    std::function<void()> ReadIndicated;  // every pass, before automatic reading
    // The spool's send turn: with the watch turn, and at once when it was
    // woken (a row queued) since the last pass. While rows wait, turns of
    // their own follow each pass back to back, up to the next tick.
    std::function<void()> SpoolTurn;
    std::function<bool()> SpoolWoken;
    // Every tick, before the posted command (the spool's status row).
    std::function<void()> Tick;
  } duties;

  // Runs step at once as a pass of its own, when the cycle is connected and
  // no connect or pass is running; false otherwise (the next pass serves it).
  bool RunBetweenPasses(const std::function<void()>& step);

  // A phone that restarted or came back: the connect sequence once more
  // (posted), with one journal line "Port COM1 (...): <why>, connecting
  // again", counted as a restart seen.
  void ConnectAgain(const std::string& why);

  // Whether the device of a port that vanished is there again.
  std::function<bool()> DeviceBack;

  // Every tick, first: the service manager's watchdog and status.
  std::function<void()> Heartbeat;

  // Ending the program: stop the timer, pause, close the window.
  std::function<void()> StopTimer;
  std::function<void()> ExitPause;
  std::function<void()> CloseWindow;

 private:
  // Sets a flag for the life of a step, and clears it however the step ends.
  class Busy {
   public:
    explicit Busy(bool& flag) : flag_(flag) { flag_ = true; }
    ~Busy() { flag_ = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    bool& flag_;
  };

  void ConnectStep();
  // The spool's turns between passes while rows wait: each runs until the
  // next tick; a tick that came meanwhile gets its pass at once after it.
  void ScheduleSpoolBurst();
  void SpoolBurst();
  void DisconnectStep(int command);

  bool busy_ = false;           // a connect step or duty pass is running
  bool manualSending_ = false;  // the manual send of a pass is running
  uint32_t lastPassAt_ = 0;     // the clock's second of the last duty pass
  QObject burstContext_;        // ends the spool's scheduled turns with the cycle

  Controls& ui_;
  FormState& state_;
  Journal& journal_;
  TrayState& tray_;
  TSerialPort& comport_;
  PollClock& clock_;
  Transaction& dialogue_;
  Connection& connection_;
};
