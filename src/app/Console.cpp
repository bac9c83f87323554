#include "Console.h"

#include "StoreAlarm.h"
#include "Transaction.h"

#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QComboBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>

#include "AnsiText.h"
#include "Connection.h"
#include "DeliveryReports.h"
#include "Lamp.h"
#include "PortNames.h"
#include "SerialPort.h"
#include "MainWindow.h"
#include "Settings.h"
#include "text_helpers.h"

ConsoleAction ParseConsoleLine(const std::string& raw) {
  std::string line(pdulink::TrimBlanks(raw));
  if (line.empty()) return ConsoleAction::None;
  if (line == "/connect") return ConsoleAction::Connect;
  if (line == "/disconnect") return ConsoleAction::Disconnect;
  if (line == "/abort") return ConsoleAction::Abort;
  if (line == "/exit" || line == "/quit") return ConsoleAction::Exit;
  if (line == "/status") return ConsoleAction::Status;
  if (line == "/send" || line.rfind("/send ", 0) == 0 || line.rfind("/send\t", 0) == 0) return ConsoleAction::Send;
  std::string word = line.substr(0, line.find_first_of(" \t"));
  if (word == "/list") return ConsoleAction::List;
  if (word == "/delete") return ConsoleAction::Delete;
  if (line[0] == '/') return ConsoleAction::Help;
  return ConsoleAction::Command;
}

bool ParseSendLine(const std::string& raw, std::string& number, std::string& text) {
  std::string_view rest = pdulink::TrimBlanks(raw);
  if (rest.substr(0, 5) != "/send") return false;
  rest = pdulink::TrimBlanks(rest.substr(5));
  size_t blank = rest.find_first_of(" \t");
  if (rest.empty() || blank == std::string_view::npos) return false;
  number = std::string(rest.substr(0, blank));
  text = std::string(pdulink::TrimBlanks(rest.substr(blank)));
  return !text.empty();
}

std::string ConsoleArgument(const std::string& raw) {
  std::string line(pdulink::TrimBlanks(raw));
  size_t blank = line.find_first_of(" \t");
  if (blank == std::string::npos) return {};
  return std::string(pdulink::TrimBlanks(std::string_view(line).substr(blank)));
}

std::optional<int> ConsoleListType(const std::string& argument) {
  if (argument.empty()) return -1;
  if (argument.size() == 1 && argument[0] >= '0' && argument[0] <= '4') return argument[0] - '0';
  return std::nullopt;
}

std::string ConsoleDeleteNumbers(const std::string& argument) {
  std::string text = argument;
  for (char& c : text)
    if (c == ',' || c == ';') c = ' ';
  std::string words;
  bool any = false;
  for (int k = 1;; ++k) {
    std::string word = pdulink::NthWord(text, k);
    if (word.empty()) break;
    if (auto value = ParseInt(word); value && *value != 0) any = true;
    if (!words.empty()) words += ' ';
    words += word;
  }
  return any ? words : std::string();
}

Console::Console(TForm1& window, int fd) : window_(window), fd_(fd) {
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &Console::OnReadable);
  // After each tick (and so after the pass that may have served the Send
  // page) the next waiting message takes its place.
  connect(window_.timer1(), &QTimer::timeout, this, &Console::FeedSendPage);
}

void Console::FeedSendPage() {
  Controls& ui = window_.ui();
  if (sendQueue_.empty() || ui.sb_sendSMS->isChecked()) return;
  auto [number, text] = std::move(sendQueue_.front());
  sendQueue_.pop_front();
  // As the Send page: the fields, then the latched button that the next
  // duty pass serves.
  ui.ed_totel->setText(QString::fromUtf8(number.c_str()));
  ui.Ed_smsbody->setText(QString::fromUtf8(text.c_str()));
  ui.sb_sendSMS->setChecked(true);
}

Console::~Console() = default;

void Console::OnReadable() {
  char buf[1024];
  ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n <= 0) {
    // End of input (or a closed terminal): stop watching, or the notifier
    // would fire forever.
    notifier_->setEnabled(false);
    return;
  }
  pending_.append(buf, static_cast<size_t>(n));
  if (pending_.size() > 64 * 1024) pending_.erase(0, pending_.size() - 64 * 1024);
  size_t nl;
  while ((nl = pending_.find('\n')) != std::string::npos) {
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    Act(line);
  }
}

void Console::Act(const std::string& line) {
  Controls& ui = window_.ui();
  switch (ParseConsoleLine(line)) {
    case ConsoleAction::None: break;
    case ConsoleAction::Connect: ui.sb_connect->click(); break;
    case ConsoleAction::Disconnect: ui.B_disconnect->click(); break;
    case ConsoleAction::Abort:
      if (ui.b_abort->isEnabled()) ui.b_abort->click();
      break;
    case ConsoleAction::Exit: ui.b_exit->click(); break;
    case ConsoleAction::List: {
      // Like choosing the type and pressing List SMS: the next tick lists.
      auto type = ConsoleListType(ConsoleArgument(line));
      if (!type) {
        window_.WriteLog("Usage: /list [type]  (0 received unread, 1 received read, 2 stored unsent, "
                         "3 stored sent, 4 all)");
        break;
      }
      if (*type >= 0) ui.cb_smstype->setCurrentIndex(*type);
      ui.sb_listSMS->setChecked(true);
      break;
    }
    case ConsoleAction::Delete: {
      std::string numbers = ConsoleDeleteNumbers(ConsoleArgument(line));
      if (numbers.empty()) {
        window_.WriteLog("Usage: /delete N[,M...]  (storage numbers of the messages to delete)");
        break;
      }
      ui.ed_nums->setText(FromAnsi(numbers));
      ui.sb_delete->setChecked(true);
      break;
    }
    case ConsoleAction::Status: window_.WriteLog(StatusBlock(GatherStatus(window_.gateway(), sendQueue_.size()))); break;
    case ConsoleAction::Help:
      window_.WriteLog("Commands: /connect /disconnect /abort /exit /status /list [type] /delete N[,M...] "
                       "/send NUMBER TEXT, or an AT command to send");
      break;
    case ConsoleAction::Send: {
      std::string number, text;
      if (!ParseSendLine(line, number, text)) {
        window_.WriteLog("Usage: /send NUMBER TEXT");
        break;
      }
      // Requests that come while one waits or is being sent queue behind it.
      if (sendQueue_.size() >= kSendQueueLimit) {
        window_.WriteLog("Send queue full (" + std::to_string(kSendQueueLimit) + " waiting): /send to " +
                         ToAnsi(QString::fromUtf8(number.c_str())) + " not queued");
        break;
      }
      sendQueue_.emplace_back(std::move(number), std::move(text));
      FeedSendPage();
      break;
    }
    case ConsoleAction::Command:
      ui.ed_send->setText(FromAnsi(std::string(pdulink::TrimBlanks(line))));
      ui.b_send->click();
      break;
  }
}

std::string StatusBlock(const StatusFacts& f) {
  auto or_ = [](const std::string& text, const char* otherwise) { return text.empty() ? std::string(otherwise) : text; };
  std::string block = "Status:\n";
  block += "Port: " + f.port + " (" + or_(f.device, "no device") + "), " + std::to_string(f.baud) + " baud\n";
  block += "Connection: " + f.connection + (f.offline ? " (off-line mode)" : "") + "\n";
  block += "SIM: " + or_(f.sim, "not checked") + "\n";
  block += "Network: " + or_(f.network, "not checked") + "\n";
  block += "Signal: " + or_(f.signal, "not checked") + "\n";
  block += "Memory: " + or_(f.memory, "none") + "\n";
  block += "Since start: received " + std::to_string(f.received) + ", sent " + std::to_string(f.sent) + ", errors " +
           std::to_string(f.errors) + "\n";
  if (!f.lastAnswered.empty())
    block += "Last answer: " + f.lastAnswered + ", " + std::to_string(f.sinceAnswer) + " s ago\n";
  if (f.restarts > 0) block += "Phone restarts seen: " + std::to_string(f.restarts) + "\n";
  if (!f.store.empty()) block += "Store: " + f.store + "\n";
  block += "Send queue: " + std::to_string(f.sendQueue);
  if (f.reports)
    block += "\nReports: delivered " + std::to_string(f.delivered) + ", undeliverable " +
             std::to_string(f.undeliverable) + ", awaiting " + std::to_string(f.awaiting);
  return block;
}

StatusFacts GatherStatus(Gateway& gateway, size_t sendQueue) {
  StatusFacts f;
  TSerialPort& port = gateway.comport();
  // The port the next connect opens while disconnected, else the open one.
  f.port = port.Active() ? port.CommPort() : ToAnsi(gateway.ui().cb_comport->currentText());
  f.device = port.Active() ? port.DevicePath() : ResolvePortName(f.port, port.PortMap());
  f.baud = port.Active() ? port.BaudRate() : gateway.ui().cb_speed->currentText().toUInt();
  switch (gateway.ui().led_connect->Color()) {
    case LampColor::Lime:
    case LampColor::Green: f.connection = "connected"; break;
    case LampColor::Yellow: f.connection = "connecting"; break;
    case LampColor::Red:
    case LampColor::Grey: f.connection = "not connected"; break;
  }
  f.offline = gateway.ui().cb_offline->isChecked();
  const FormState& state = gateway.state();
  f.sim = state.SimState;
  f.network = state.NetworkState;
  f.signal = state.SignalState;
  f.memory = gateway.connection().SmsMemory;
  f.store = gateway.storeAlarm().StatusText();
  f.lastAnswered = gateway.dialogue().LastAnswered();
  f.sinceAnswer = gateway.dialogue().SinceLastAnswer();
  f.restarts = state.PhoneRestarts;
  f.received = state.Counters.received;
  f.sent = state.Counters.sent;
  f.errors = state.Counters.errors;
  f.sendQueue = sendQueue;
  if (state.MatchReports) {
    const pdulink::ReportCounts counts = gateway.reports().Counts();
    f.reports = true;
    f.delivered = counts.delivered;
    f.undeliverable = counts.undeliverable;
    f.awaiting = counts.awaiting;
  }
  return f;
}
