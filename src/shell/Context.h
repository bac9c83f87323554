#pragma once
// The pieces every part of the gateway shares: the window's controls, the
// start-up state, the journal, the tray, the serial port and the timer's
// clock. The assembly builds one; each part keeps a reference to it instead
// of a long list of its own.
struct Controls;
struct FormState;
class Journal;
class TrayState;
class TSerialPort;
struct PollClock;

struct Context {
  Controls& ui;
  FormState& state;
  Journal& journal;
  TrayState& tray;
  TSerialPort& comport;
  PollClock& clock;
};
