#include "Signal.h"

#include <QLabel>
#include <optional>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "Replies.h"
#include "Transaction.h"
#include "TrayState.h"

SignalCheck::SignalCheck(Context& ctx, Transaction& dialogue)
    : ui_(ctx.ui), state_(ctx.state), journal_(ctx.journal), tray_(ctx.tray), dialogue_(dialogue) {}

void SignalCheck::CheckSignal() {
  bool answered = AskWhole(dialogue_, "AT+CSQ\r");
  std::optional<SignalQuality> quality = ParseCsqReply(dialogue_.CaptureText);
  std::string line;
  if (quality) {
    line = SignalText(*quality);
  } else if (answered && dialogue_.CaptureText.find("+CSQ:") != std::string::npos) {
    line = "Signal: unknown (unreadable reply)";
  } else {
    line = "Signal: unknown (no reply)";
  }
  journal_.WriteLog(line);
  state_.SignalState = line.substr(8);  // without "Signal: "
  ui_.l_signal->setText(FromAnsi(quality ? SignalShortText(*quality) : std::string("? dBm")));
  tray_.SetSignal(line);
}
