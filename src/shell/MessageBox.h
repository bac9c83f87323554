#pragma once
// Every message box of the program goes through ShowMessage, so the
// headless mode can print it and tests can capture it.
#include <functional>
#include <string>

void ShowMessage(const std::string& cp1251Text);

// Replaces the box with a handler (nullptr restores the box). Returns the
// previous handler.
using MessageHandler = std::function<void(const std::string& cp1251Text)>;
MessageHandler SetMessageHandler(MessageHandler handler);
