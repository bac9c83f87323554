#include "Connection.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QToolButton>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "Lamp.h"
#include "PollClock.h"
#include "SerialPort.h"
#include "Transaction.h"
#include "TrayState.h"

Connection::Connection(Context& ctx, Transaction& dialogue)
    : ui_(ctx.ui),
      journal_(ctx.journal),
      tray_(ctx.tray),
      comport_(ctx.comport),
      clock_(ctx.clock),
      dialogue_(dialogue),
      simCheck_(ctx, dialogue),
      indicationSetup_(ctx, dialogue),
      state_(ctx.state) {}

std::string Connection::QuerySmsc() {
  dialogue_.SendCommand("AT+CSCS=\"GSM\"\r");
  dialogue_.ReplyCapture("start");
  dialogue_.SendCommand("AT+CSCA?\r");
  dialogue_.ReplyCapture("stop");
  // A copy: the capture stays whole for a look at a SIM that is not ready.
  std::string reply = dialogue_.CaptureText;
  return ParseSmscReply(reply);
}

bool Connection::UntilSimReady(const std::function<void()>& ask) {
  ask();
  for (int wait = 1;; wait *= 2) {
    const std::string busy = SimStartingLine(dialogue_.CaptureText);
    if (busy.empty()) return true;
    if (wait > kSimWaitTop) return false;
    journal_.WriteLog("SIM not ready (" + busy + "): asking again in " + std::to_string(wait) + " s");
    if (!dialogue_.Rest(wait)) return false;
    ask();
  }
}

void Connection::b_open() {
  IndicationsOn = false;
  if (!OpenPort()) return;
  if (!Identify()) return;
  // A SIM that is still starting up (power-on) is asked again after a
  // while instead of ending the connect.
  std::string smsc;
  UntilSimReady([&] { smsc = QuerySmsc(); });
  ui_.ed_smsc->setText(FromAnsi(smsc));
  if (ui_.cb_sound_silent->isChecked()) dialogue_.SendCommand("AT+CALM=1\r");
  const std::string offered = ChooseMemory();
  if (SelectMemory()) Connected(offered);
}

bool Connection::OpenPort() {
  comport_.SetDTRState(ui_.cb_dtr->isChecked());
  comport_.SetRTSState(ui_.cb_rts->isChecked());
  comport_.SetCommPort(ToAnsi(ui_.cb_comport->currentText()));
  comport_.SetBaudRate(static_cast<uint32_t>(ui_.cb_speed->currentText().toUInt()));
  journal_.WriteLog(comport_.CommPort() + " " + std::to_string(comport_.BaudRate()));
  return dialogue_.ActivatePort();
}

bool Connection::Identify() {
  dialogue_.OkFlag = false;
  comport_.SendText("AT\r");
  dialogue_.SendCommand("AT\r");
  if (!dialogue_.SendCommand("ATE0\r")) {
    if (ui_.cb_offline->isChecked()) clock_.PendingCommand = kConnect;
    return false;
  }
  // Opt-in: the SIM (with its PIN) and the network, before identification.
  if (simCheck_.Wanted() && !simCheck_.Run()) return false;
  return dialogue_.SendCommand("AT+CGMI\r") && dialogue_.SendCommand("AT+CGMM\r");
}

std::string Connection::ChooseMemory() {
  dialogue_.ReplyCapture("start");
  dialogue_.SendCommand("AT+CPMS=?\r");
  dialogue_.ReplyCapture("stop");
  SmsMemory = ChooseSmsMemory(dialogue_.CaptureText);
  journal_.WriteLog("SMS Memory Select:" + SmsMemory);
  return dialogue_.CaptureText;
}

bool Connection::SelectMemory() {
  bool selected = false;
  UntilSimReady([&] {
    dialogue_.OkFlag = false;
    dialogue_.ReplyCapture("start");
    selected = dialogue_.SendCommand("AT+CPMS=" + SmsMemory + "\r") && dialogue_.OkFlag;
    dialogue_.ReplyCapture("stop");
  });
  return selected;
}

void Connection::Connected(const std::string& offered) {
  if (state_.Indications) {
    // The memory's OK stays the connect's last word (AutoReading Mode.).
    IndicationsOn = indicationSetup_.Run(SmsMemory, offered);
    dialogue_.OkFlag = true;
  }
  ui_.led_connect->SetColor(LampColor::Lime);
  tray_.SetTrayState(2, "Connected");
  // Start the duty passes, unless Disconnect or Exit was posted during one
  // of the waits above and no nested tick has carried it out yet: posting
  // over it would lose the operator's request.
  if (clock_.PendingCommand != kDisconnect && clock_.PendingCommand != kExit) clock_.PendingCommand = kDutyPass;
}

void Connection::sb_connectClick() { clock_.PendingCommand = kConnect; }

void Connection::b_closeClick() {
  dialogue_.AbortFlag = true;
  ui_.sb_connect->setChecked(false);
  ui_.cb_offline->setChecked(false);
  clock_.PendingCommand = kDisconnect;
}
