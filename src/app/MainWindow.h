#pragma once
// The one window: it builds and owns the controls, the serial port, the
// timer and the tray icon, runs the start-up sequence, and wires each
// control to its handler. The work itself lives in the dialogue,
// operations and automation parts.
#include <QMainWindow>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "TrayState.h"

#include "Gateway.h"

class QTimer;

struct StartupOptions {
  std::optional<std::string> configArg;  // first non-option argument
  std::string executablePath;
  bool headless = false;
  // Receives every journal entry from the first one on (headless mode).
  std::function<void(const std::string& utf8)> journalMirror;
};

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(const StartupOptions& options, QWidget* parent = nullptr);
  ~TForm1() override;

  Controls ui;
  FormState state;
  PollClock clock;
  QTimer* timer1 = nullptr;

  Gateway& gateway() { return *gateway_; }
  Journal& journal() { return gateway_->journal(); }
  TrayState& tray() { return gateway_->tray(); }
  TSerialPort& comport() { return gateway_->comport(); }
  Transaction& dialogue() { return gateway_->dialogue(); }
  Connection& connection() { return gateway_->connection(); }
  PollingCycle& cycle() { return gateway_->cycle(); }

  void WriteLog(const std::string& message) { journal().WriteLog(message); }
  void SetTrayState(unsigned index, const std::string& hint) { tray().SetTrayState(index, hint); }

  // Handlers of the window itself. The names follow the controls of the
  // original form: Button1Click clears the journal and hangs on Button4
  // ("< Clear Log"); the Test page's Parse is Button1 and its handler is
  // b_parseClick.
  void b_save_iniFileClick();
  void Button1Click();
  void b_parseClick();
  void b_log2clipClick();
  void Button3Click();
  void b_exitClick();
  void rxTrayIClick();
  void cb_smstypeChange();
  void Ed_smsbodyChange();
  void LongSmsBodyChange();
  void b_stop_sendcycleClick();
  void ShowTestPage();  // Ctrl+Shift+T

  // True once Exit has been carried out and the window may close.
  bool ExitRequested() const { return closing_; }

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void FormCreate(const StartupOptions& options);
  void WireHandlers();

  std::unique_ptr<Gateway> gateway_;
  bool closing_ = false;
  // cb_smstype's item changed and no operator's pick has claimed it yet.
  bool smstypeChanged_ = false;
  bool shownOnce_ = false;
};

// The file version of the running program: the project's four numbers.
std::string FileVersionText(const std::string& path);

// Takes the close command off the window with this title: the title bar's
// close box no longer closes it. False when no such window exists.
bool RemoveCloseCommand(const std::string& windowTitle);
