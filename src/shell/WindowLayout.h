#pragma once
// Builds every control of the main window under its name, with its caption,
// default and hint, and lays them out.
class QMainWindow;
struct Controls;

void BuildControls(QMainWindow* window, Controls& ui);
