#include "Console.h"

#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QToolButton>

#include "AnsiText.h"
#include "MainWindow.h"
#include "text_helpers.h"

ConsoleAction ParseConsoleLine(const std::string& raw) {
  std::string line(pdulink::TrimBlanks(raw));
  if (line.empty()) return ConsoleAction::None;
  if (line == "/connect") return ConsoleAction::Connect;
  if (line == "/disconnect") return ConsoleAction::Disconnect;
  if (line == "/abort") return ConsoleAction::Abort;
  if (line == "/exit" || line == "/quit") return ConsoleAction::Exit;
  if (line[0] == '/') return ConsoleAction::Help;
  return ConsoleAction::Command;
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
    case ConsoleAction::Help:
      window_.WriteLog("Commands: /connect /disconnect /abort /exit, or an AT command to send");
      break;
    case ConsoleAction::Command:
      ui.ed_send->setText(FromAnsi(std::string(pdulink::TrimBlanks(line))));
      ui.b_send->click();
      break;
  }
}
