#include "Journal.h"

#include <QDateTime>
#include <QPlainTextEdit>

#include "AnsiText.h"

Journal::Journal(QPlainTextEdit* memo) : memo_(memo) {
  // The memo itself drops the oldest lines beyond the cap.
  memo_->setMaximumBlockCount(kMaxLines);
}

QString Journal::Prefix() {
  return QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

void Journal::WriteLog(const std::string& message) { Append(FromAnsi(message)); }

void Journal::WriteLogUtf8(const std::string& message) { Append(QString::fromUtf8(message.data(), qsizetype(message.size()))); }

void Journal::Append(const QString& message) {
  QString text = Prefix() + QLatin1Char(' ') + message;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  if (keepInMemo_) memo_->appendPlainText(text);
  if (mirror_) mirror_(text.toStdString());
}
