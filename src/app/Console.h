#pragma once
// Headless operation from standard input: a person (or a script) types what
// the window's buttons would do. "/connect", "/disconnect", "/abort",
// "/exit", "/status", "/help", "/send NUMBER TEXT" (the Send page's manual
// send); any other line is an AT command for the Test page's Send button.
#include <QObject>
#include <memory>
#include <string>

class QSocketNotifier;
class TForm1;

enum class ConsoleAction { None, Connect, Disconnect, Abort, Exit, Status, Help, Command, Send };

// What a typed line asks for; blank lines ask for nothing.
ConsoleAction ParseConsoleLine(const std::string& line);

// What /status reports; empty texts were not checked (yet).
struct StatusFacts {
  std::string port, device;
  unsigned baud = 0;
  std::string connection;  // "connected", "connecting", "not connected"
  bool offline = false;
  std::string sim, network, signal;
  std::string memory;  // the memory chosen at connect
  unsigned received = 0, sent = 0, errors = 0;
};

// The /status block, one fact a line.
std::string StatusBlock(const StatusFacts& facts);

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
  StatusFacts GatherStatus() const;

  TForm1& window_;
  int fd_;
  std::string pending_;
  std::unique_ptr<QSocketNotifier> notifier_;
};
