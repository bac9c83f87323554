#pragma once
// The one place that assembles the gateway: the controls, the journal, tray,
// serial port, command dialogue, connection, operations and polling cycle,
// each handed the shared context, and the cycle's duties filled with the
// operations. It also runs the start-up sequence and Save. The window builds
// one and delegates its handlers to it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Context.h"
#include "Controls.h"
#include "FormState.h"
#include "PollClock.h"

class QMainWindow;
class QTimer;
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
class DeliveryReports;
class HookRunner;
class IniFile;
class Indications;
class SpoolTurn;
class StoreAlarm;

// The journal line for a report of the serial port (Windows-1251):
// "Port COM5 (/dev/ttyS4): Error reopening Port (112, No such file or directory)".
std::string PortReportLine(const std::string& commPort, const std::string& device, uint32_t place, uint32_t code,
                           const std::string& msg);

struct StartupOptions {
  std::optional<std::string> configArg;  // first non-option argument
  std::string executablePath;
  bool headless = false;
  // Receives every journal entry from the first one on (headless mode).
  std::function<void(const std::string& utf8)> journalMirror;
};

class Gateway {
 public:
  // Builds the controls into window and every part over them; the timer
  // (one second) does not run before Start.
  explicit Gateway(QMainWindow* window);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  Controls& ui() { return ui_; }
  FormState& state() { return state_; }
  PollClock& clock() { return clock_; }
  QTimer* timer() { return timer_; }
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
  DeliveryReports& reports() { return *reports_; }
  Indications& indications() { return *indications_; }
  StoreAlarm& storeAlarm() { return *storeAlarm_; }
  // The database spool's turn; null when Spool= is absent.
  SpoolTurn* spoolTurn() { return spoolTurn_.get(); }
  Context& context() { return *ctx_; }

  // The start-up sequence: the version in the About text, the pages shown,
  // the configuration file (the argument, or pdulink.ini in the working
  // directory) shown in the controls with a journal line for each key that
  // was out of range, the port map and line states, locked mode,
  // auto-connect, the timer, and the stored validity period.
  void Start(const StartupOptions& options);

  // Headless only: the configuration file is missing, unreadable or holds a
  // value start-up would ignore; the reason is on standard error and the
  // program ends with kExitConfig instead of running.
  bool ConfigFailed() const { return configFailed_; }
  static constexpr int kExitConfig = 78;  // EX_CONFIG of sysexits.h

  // Save: the controls' settings into the configuration file, other lines
  // kept; a message box says how it went.
  void SaveSettings();

  // FastMode on or off: the form state, the port's framing and the waits.
  // Runs on every change of cb_fastmode, also the one start-up makes.
  void ApplyFastMode(bool on);

  // The hook programs (OnReceived ... OnReport); null when none is set.
  HookRunner* hooks() { return hooks_.get(); }
  // A status report matched to a message sent from a file: runs OnReport
  // with the report file and the sent file as its arguments (paths as the
  // file system has them), the recipient, the status text and the
  // message's reference. Call it once the report file is on disk.
  void RunReportHook(const std::string& reportFile, const std::string& sentFile, const std::string& number,
                     const std::string& statusText, const std::string& reference);

 private:
  // Hooks (GatewayHooks.cpp): the runner from the configuration's keys, and
  // the events of the parts handed to it.
  void StartHooks(const IniFile& ini);
  int ManualSend(const std::string& number, const std::string& body);
  std::string CheckIncomingCall();

  // Every connection between the controls, the timer, the port and the
  // parts, and the cycle's duties (Wiring.cpp).
  void Wire();
  void WirePort();
  void FillDuties();
  // A send, counted for /status: a message out, or an error.
  int CountedSend(const std::string& number, const std::string& body, const SendHooks& hooks);
  void WireControls();
  // New-message indications: the receive handler notes them, a listing
  // drops what it listed, the pass (in fast mode at once) reads the rest.
  void WireIndications();
  void ReadIndicated();
  // With Spool= set: the spool's turn, its hooks in receiving and its
  // duties (Wiring.cpp); run once the configuration is read.
  void WireSpool();

  // Read the configuration file into the controls (steps 8 to 14 of Start).
  void LoadConfiguration(const StartupOptions& options);

  QMainWindow* window_;
  bool configFailed_ = false;
  Controls ui_;
  FormState state_;
  PollClock clock_;
  QTimer* timer_ = nullptr;  // a child of the window
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
  std::unique_ptr<DeliveryReports> reports_;
  // Last, so that it ends (and reports its hooks) while the journal is there.
  std::unique_ptr<HookRunner> hooks_;
  std::unique_ptr<Indications> indications_;
  std::unique_ptr<StoreAlarm> storeAlarm_;
  std::unique_ptr<SpoolTurn> spoolTurn_;
};
