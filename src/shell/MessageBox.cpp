#include "MessageBox.h"

#include <QApplication>
#include <QMessageBox>

#include "AnsiText.h"

namespace {
MessageHandler& Handler() {
  static MessageHandler handler;
  return handler;
}
}  // namespace

MessageHandler SetMessageHandler(MessageHandler handler) {
  MessageHandler old = std::move(Handler());
  Handler() = std::move(handler);
  return old;
}

void ShowMessage(const std::string& cp1251Text) {
  if (Handler()) {
    Handler()(cp1251Text);
    return;
  }
  QMessageBox::information(QApplication::activeWindow(), QApplication::applicationName(),
                           FromAnsi(cp1251Text));
}
