#pragma once
// The journal: date-stamped lines in the memo, newest last, at most 1000.
#include <QString>
#include <functional>
#include <string>

class QPlainTextEdit;

class Journal {
 public:
  static constexpr int kMaxLines = 1000;

  explicit Journal(QPlainTextEdit* memo);

  // Appends "dd.MM.yyyy hh:mm:ss message"; a message with line breaks (CR LF,
  // LF or a lone CR) shows as several lines. Messages are Windows-1251.
  void WriteLog(const std::string& message);
  // The same for a UTF-8 message (a received text with Utf8Files on).
  void WriteLogUtf8(const std::string& message);

  // Receives every written entry as UTF-8 text with "\n" line breaks
  // (headless mode mirrors the journal to standard output).
  void SetMirror(std::function<void(const std::string& utf8)> mirror) { mirror_ = std::move(mirror); }
  // Whether entries also go into the memo (true). Headless, no one sees the
  // memo: the mirror alone is the journal, and no text layout is spent.
  void KeepInMemo(bool keep) { keepInMemo_ = keep; }

  static QString Prefix();  // the current local date and time

 private:
  void Append(const QString& message);
  QPlainTextEdit* memo_;
  std::function<void(const std::string&)> mirror_;
  bool keepInMemo_ = true;
};
