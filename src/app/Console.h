#pragma once
// Headless operation from standard input: a person (or a script) types what
// the window's buttons would do. "/connect", "/disconnect", "/abort",
// "/exit", "/list [type]", "/delete N[,M...]", "/help"; any other line is
// an AT command for the Test page's Send button.
#include <QObject>
#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;
class TForm1;

enum class ConsoleAction { None, Connect, Disconnect, Abort, Exit, Help, Command, List, Delete };

// What a typed line asks for; blank lines ask for nothing.
ConsoleAction ParseConsoleLine(const std::string& line);

// The text after the command word of a "/" line, trimmed.
std::string ConsoleArgument(const std::string& line);

// The list type of "/list [type]": -1 when none is given (the one chosen
// stays), 0..4, or nothing for anything else.
std::optional<int> ConsoleListType(const std::string& argument);

// The storage numbers of "/delete N[,M...]" (commas or blanks between) as
// the blank-separated words that ed_nums takes; empty when no word is a
// number other than 0.
std::string ConsoleDeleteNumbers(const std::string& argument);

class Console : public QObject {
  Q_OBJECT
 public:
  // Reads fd (standard input) while it stays open; EOF ends the reading.
  Console(TForm1& window, int fd);
  ~Console() override;

 private:
  void OnReadable();
  void Act(const std::string& line);

  TForm1& window_;
  int fd_;
  std::string pending_;
  std::unique_ptr<QSocketNotifier> notifier_;
};
