#pragma once
// Every connection of the program lives in Wiring.cpp: the gateway's
// (controls, timer and port to the parts, the cycle's duties) and the
// window's own handlers.
class TForm1;

// Connects the window's own controls and signals to its handlers: Exit,
// the journal's buttons, the list type, the send field, the tray icon, the
// Test page's shortcut, and the cycle's closing of the window at Exit.
void WireWindow(TForm1& window);
