#pragma once
// Headless operation from standard input: a person (or a script) types what
// the window's buttons would do. "/connect", "/disconnect", "/abort",
// "/exit", "/status", "/list [type]", "/delete N[,M...]", "/help",
// "/send NUMBER TEXT" (the Send page's manual send); any other line is an AT
// command for the Test page's Send button.
#include <QObject>
#include <deque>
#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;
class TForm1;

enum class ConsoleAction { None, Connect, Disconnect, Abort, Exit, Status, Help, Command, Send, List, Delete };

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
  std::string store;   // "9 of 10 used (90 %)" (StoreAlarm only), "full"; empty: not read
  unsigned received = 0, sent = 0, errors = 0;
  size_t sendQueue = 0;  // /send requests waiting for the Send page
  // The last command the phone answered and how many seconds ago (-1: none
  // yet), and the restarts of the phone seen since start.
  std::string lastAnswered;
  long sinceAnswer = -1;
  unsigned restarts = 0;
  // Messages of the sent record by their delivery report (MatchReports only).
  bool reports = false;
  unsigned delivered = 0, undeliverable = 0, awaiting = 0;
};

// The /status block, one fact a line.
std::string StatusBlock(const StatusFacts& facts);

class Gateway;
// The facts of the running gateway; sendQueue: /send requests waiting.
StatusFacts GatherStatus(Gateway& gateway, size_t sendQueue);

// The number and text of "/send NUMBER TEXT" (UTF-8 as typed): the first
// word after the command, then the rest, trimmed. False when either is
// missing.
bool ParseSendLine(const std::string& line, std::string& number, std::string& text);

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

  // /send requests that wait in turn for the Send page, at most this many.
  static constexpr size_t kSendQueueLimit = 100;
  size_t SendQueueLength() const { return sendQueue_.size(); }

 private:
  void OnReadable();
  void Act(const std::string& line);
  // Hands the first waiting /send to the Send page once the one before has
  // been served (its button released): one message per pass, in order.
  void FeedSendPage();

  TForm1& window_;
  int fd_;
  std::string pending_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::deque<std::pair<std::string, std::string>> sendQueue_;  // number, text (UTF-8)
};
