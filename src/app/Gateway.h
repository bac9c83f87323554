#pragma once
// The one place that assembles the gateway: the journal, tray, serial port,
// command dialogue, connection, operations and polling cycle, each handed the
// shared context, and the cycle's duties filled with the operations. The
// window builds one and delegates its handlers to it.
#include <cstdint>
#include <memory>
#include <string>

#include "Context.h"

class QMainWindow;
class QtUiDispatcher;
class Journal;
class TrayState;
class TSerialPort;
class Transaction;
class Connection;
class Receiving;
class PollingCycle;
class Battery;
class Calls;
class SignalCheck;
class Sending;
struct SendHooks;
class ServiceCentre;
class WatchTurn;

// The journal line for a report of the serial port (Windows-1251):
// "Port COM5 (/dev/ttyS4): Error reopening Port (112, No such file or directory)".
std::string PortReportLine(const std::string& commPort, const std::string& device, uint32_t place, uint32_t code,
                           const std::string& msg);

class Gateway {
 public:
  Gateway(QMainWindow* window, Controls& ui, FormState& state, PollClock& clock);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  Journal& journal() { return *journal_; }
  TrayState& tray() { return *tray_; }
  TSerialPort& comport() { return *comport_; }
  Transaction& dialogue() { return *dialogue_; }
  Connection& connection() { return *connection_; }
  Receiving& receiving() { return *receiving_; }
  PollingCycle& cycle() { return *cycle_; }
  Battery& battery() { return *battery_; }
  Calls& calls() { return *calls_; }
  Sending& sending() { return *sending_; }
  ServiceCentre& serviceCentre() { return *serviceCentre_; }
  WatchTurn& watchTurn() { return *watchTurn_; }
  Context& context() { return *ctx_; }

  // FastMode on or off: the form state, the port's framing and the waits.
  // Runs on every change of cb_fastmode, also the one start-up makes.
  void ApplyFastMode(bool on);

 private:
  void WirePort();
  void FillDuties();
  // A send, counted for /status: a message out, or an error.
  int CountedSend(const std::string& number, const std::string& body, const SendHooks& hooks);
  void WireFastMode(QMainWindow* window);

  std::unique_ptr<Journal> journal_;
  std::unique_ptr<TrayState> tray_;
  std::unique_ptr<QtUiDispatcher> dispatcher_;
  std::unique_ptr<TSerialPort> comport_;
  std::unique_ptr<Context> ctx_;
  std::unique_ptr<Transaction> dialogue_;
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<Receiving> receiving_;
  std::unique_ptr<PollingCycle> cycle_;
  std::unique_ptr<Battery> battery_;
  std::unique_ptr<Calls> calls_;
  std::unique_ptr<SignalCheck> signal_;
  std::unique_ptr<Sending> sending_;
  std::unique_ptr<ServiceCentre> serviceCentre_;
  std::unique_ptr<WatchTurn> watchTurn_;
};
