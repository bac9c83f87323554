#include "Transaction.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>

#include "AnsiText.h"
#include "Controls.h"
#include "Journal.h"
#include "Lamp.h"
#include "PollClock.h"
#include "SerialPort.h"
#include "TrayState.h"
#include "text_helpers.h"

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

size_t FindNoCase(const std::string& text, const std::string& marker) {
  if (marker.empty() || marker.size() > text.size()) return std::string::npos;
  for (size_t i = 0; i + marker.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < marker.size() && Lower(text[i + k]) == Lower(marker[k])) ++k;
    if (k == marker.size()) return i;
  }
  return std::string::npos;
}

}  // namespace

bool CutThrough(std::string& text, const std::string& marker) {
  size_t at = FindNoCase(text, marker);
  if (at == std::string::npos) return false;
  text.erase(0, at + marker.size());
  return true;
}

Transaction::Transaction(Controls& ui, Journal& journal, TrayState& tray, TSerialPort& comport,
                         PollClock& clock)
    : ProcessEvents([] { QCoreApplication::processEvents(QEventLoop::AllEvents); }),
      Pause([] { QThread::msleep(50); }),
      ui_(ui),
      journal_(journal),
      tray_(tray),
      comport_(comport),
      clock_(clock) {}

bool Transaction::WaitReply(const std::string& kind) {
  ui_.b_abort->setEnabled(true);
  const uint32_t start = clock_.SecondsCounter;
  bool met = false;
  do {
    if (ExitUnderway) {
      AbortFlag = true;
      break;
    }
    ProcessEvents();
    Pause();
    if (kind == "ok") met = OkFlag;
    if (kind == "rx") met = ReplyFlag;
    if (PollClock::Elapsed(start, clock_.SecondsCounter) > static_cast<uint32_t>(ReplyTimeout)) {
      journal_.WriteLog("TimeOut Rx Done");
      AbortFlag = true;
    }
  } while (!AbortFlag && !met);
  bool result = !AbortFlag;
  AbortFlag = false;
  ui_.b_abort->setEnabled(false);
  return result;
}

bool Transaction::SendCommand(const std::string& command, const std::string& mode) {
  if (ui_.cb_offline->isChecked() && mode.empty()) {
    ReplyTimeout = 10;
    if (!comport_.Active()) comport_.SetActive(true);
    bool open = comport_.Active();
    if (open) {
      ui_.cb_comport->setEnabled(false);
      ui_.cb_speed->setEnabled(false);
      ui_.led_connect->SetColor(LampColor::Yellow);
      tray_.SetTrayState(3, "Connecting...");
      OkFlag = false;
      // The second AT is dropped by the port while the first is still being
      // written; phones that sleep wake on the first one.
      comport_.SendText("AT\r");
      comport_.SendText("AT\r");
      WaitReply("rx");
      comport_.SendText("ATE0\r");
      if (!WaitReply("ok")) return false;
      ui_.led_connect->SetColor(LampColor::Lime);
      tray_.SetTrayState(2, "Connected");
    } else {
      ui_.led_connect->SetColor(LampColor::Red);
      tray_.SetTrayState(4, "Not Connected");
    }
  }
  ReplyTimeout = 180;
  ReplyFlag = false;
  comport_.SendText(command);
  bool result = WaitReply("rx");
  OfflineSession = ui_.cb_offline->isChecked();
  return result;
}

std::string Transaction::ReplyCapture(const std::string& word) {
  std::string previous = CaptureText;
  std::string w;
  for (char c : word) w += Lower(c);
  if (w == "clear") {
    CaptureText.clear();
    CaptureOn = false;
  } else if (w == "start") {
    CaptureText.clear();
    CaptureOn = true;
  } else if (w == "stop") {
    CaptureOn = false;
  } else if (w == "cont") {
    CaptureOn = true;
  }
  return previous;
}

void Transaction::comportRxClusterEvent() {
  int size = comport_.PeekClusterSize();
  if (size == 0) {
    // An empty cluster (a read that completed with no bytes) would block the
    // queue: drop it.
    comport_.TakeClusterText();
    return;
  }
  if (size < 0) return;
  if (comport_.PeekClusterError() != 0) journal_.WriteLog("Rx Error (BaudRate Tune)");
  std::string text = comport_.TakeClusterText();
  if (CaptureOn) CaptureText += text;
  journal_.WriteLog(text);

  Lamp* lamp = ui_.led_connect;
  if (lamp->Color() == LampColor::Green) {
    lamp->SetColor(LampColor::Lime);
  } else if (lamp->Color() == LampColor::Lime) {
    lamp->SetColor(LampColor::Green);
  }
  if (tray_.Index() == 1) {
    tray_.SetTrayState(2, "Ok");
  } else if (tray_.Index() == 2) {
    tray_.SetTrayState(1, "Ok");
  }

  OkFlag = text.find("\r\nOK\r\n") != std::string::npos;
  RingFlag = text.find("RING\r\n") != std::string::npos;
  PromptFlag = text.find('>') != std::string::npos;
  ReplyFlag = true;
}

void Transaction::b_sendClick() {
  // Blanks and control characters at both ends go, as a command is typed.
  std::string text(pdulink::TrimBlanks(ToAnsi(ui_.ed_send->text())));
  if (text.empty()) return;
  journal_.WriteLog(">" + text);
  comport_.SendText(text + "\r");
}

void Transaction::b_abortClick() {
  AbortFlag = true;
  journal_.WriteLog("Manual Abort");
}
