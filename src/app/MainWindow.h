#pragma once
// The one window: it holds the gateway (which builds the controls, the
// serial port, the timer and the tray icon and runs the start-up sequence)
// and has the handlers of its own controls (Wiring.cpp connects them). The
// work itself lives in the gateway, dialogue, operations and automation
// parts.
#include <QMainWindow>
#include <memory>
#include <string>

#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "TrayState.h"

#include "Gateway.h"

class QTimer;

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(const StartupOptions& options, QWidget* parent = nullptr);
  ~TForm1() override;

  Controls& ui() { return gateway_->ui(); }
  FormState& state() { return gateway_->state(); }
  PollClock& clock() { return gateway_->clock(); }
  QTimer* timer1() { return gateway_->timer(); }

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

  // Exit has been carried out: the window closes and the program ends.
  void CloseAtExit();
  // True once Exit has been carried out and the window may close.
  bool ExitRequested() const { return closing_; }

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  std::unique_ptr<Gateway> gateway_;
  bool closing_ = false;
  bool shownOnce_ = false;
};
