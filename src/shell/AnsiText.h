#pragma once
// Program texts are Windows-1251 bytes; the window and the terminal speak
// Unicode. These convert at that border only.
#include <QString>
#include <string>

QString FromAnsi(const std::string& cp1251);
std::string ToAnsi(const QString& text);  // unmappable characters become "?"
