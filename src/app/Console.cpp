#include "Console.h"

#include <unistd.h>

#include <QLineEdit>
#include <QComboBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QToolButton>

#include "AnsiText.h"
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
  std::string word = line.substr(0, line.find_first_of(" \t"));
  if (word == "/list") return ConsoleAction::List;
  if (word == "/delete") return ConsoleAction::Delete;
  if (line[0] == '/') return ConsoleAction::Help;
  return ConsoleAction::Command;
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
  Controls& ui = window_.ui;
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
    case ConsoleAction::Help:
      window_.WriteLog("Commands: /connect /disconnect /abort /exit /list [type] /delete N[,M...], "
                       "or an AT command to send");
      break;
    case ConsoleAction::Command:
      ui.ed_send->setText(FromAnsi(std::string(pdulink::TrimBlanks(line))));
      ui.b_send->click();
      break;
  }
}
