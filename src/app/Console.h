#pragma once
// Headless operation from standard input: a person (or a script) types what
// the window's buttons would do. "/connect", "/disconnect", "/abort",
// "/exit", "/help", "/send NUMBER TEXT" (the Send page's manual send); any
// other line is an AT command for the Test page's Send button.
#include <QObject>
#include <memory>
#include <string>

class QSocketNotifier;
class TForm1;

enum class ConsoleAction { None, Connect, Disconnect, Abort, Exit, Help, Command, Send };

// What a typed line asks for; blank lines ask for nothing.
ConsoleAction ParseConsoleLine(const std::string& line);

// The number and text of "/send NUMBER TEXT" (UTF-8 as typed): the first
// word after the command, then the rest, trimmed. False when either is
// missing.
bool ParseSendLine(const std::string& line, std::string& number, std::string& text);

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
