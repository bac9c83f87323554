#pragma once
// Builds every control of the main window under its name, with its caption,
// default and hint, and lays them out.
#include <string>

class QMainWindow;
struct Controls;

void BuildControls(QMainWindow* window, Controls& ui);

// The file version of the running program: the project's four numbers.
std::string FileVersionText(const std::string& path);

// Takes the close command off the window with this title: the title bar's
// close box no longer closes it. False when no such window exists.
bool RemoveCloseCommand(const std::string& windowTitle);
