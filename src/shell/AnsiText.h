#pragma once
// Program texts are Windows-1251 bytes; the window and the terminal speak
// Unicode. These convert at that border only.
#include <QString>
#include <string>

QString FromAnsi(const std::string& cp1251);
std::string ToAnsi(const QString& text);  // unmappable characters become "?"
// Bytes in the locale's encoding (paths, the system's error texts) as
// Windows-1251, for journal lines and message boxes.
std::string LocalToAnsi(const std::string& local);
