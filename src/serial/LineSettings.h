#pragma once
// The line state the component applies to a device, and its termios form.
#include <termios.h>

#include <cstdint>

namespace serial_impl {

// Bits of the line-control flag word. FlowControl is OR-ed into it unchanged,
// so its bit meanings are the classic device-control-block ones.
enum : uint32_t {
  kFlagBinary = 1u << 0,
  kFlagParity = 1u << 1,
  kFlagOutxCtsFlow = 1u << 2,
  kFlagOutxDsrFlow = 1u << 3,
  kFlagDtrControlMask = 3u << 4,
  kFlagDsrSensitivity = 1u << 6,
  kFlagTxContinueOnXoff = 1u << 7,
  kFlagOutX = 1u << 8,
  kFlagInX = 1u << 9,
  kFlagErrorChar = 1u << 10,
  kFlagNull = 1u << 11,
  kFlagRtsControlMask = 3u << 12,
  kFlagRtsHandshake = 2u << 12,
};

struct TLineSettings {
  uint32_t BaudRate = 9600;
  uint32_t Flags = kFlagBinary;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint8_t ByteSize = 8;  // 5..8
  char ErrorChar = 0;
  char EventChar = 0;
  char XonChar = 17;
  char XoffChar = 19;
  char EofChar = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
};

// The termios speed constant of a standard rate, or 0 when the rate has none
// (it is then set through the arbitrary-rate interface, SetCustomBaud).
speed_t BaudConstant(uint32_t baud);

// Builds the raw-mode termios for `s` on top of `t`. Returns 0, or EINVAL when
// a value cannot be expressed (data bits outside 5..8, unknown parity or
// stop-bit code, a zero baud rate); raw mode, CLOCAL/CREAD and VMIN/VTIME
// are set all the same, and each refused field keeps its value from `t`.
// `custom` tells that the rate needs SetCustomBaud after tcsetattr.
int ToTermios(const TLineSettings& s, termios& t, bool& custom);

// What the device's state read back (`got`) does not show of `wanted`.
struct TUnapplied {
  tcflag_t cflag = 0;     // c_cflag bits of the frame, flow control, CLOCAL, CREAD
  bool input = false;     // input flags: parity marking, XON/XOFF, CR/LF handling
  bool local = false;     // raw mode: echo, canonical input, signals
  bool timeouts = false;  // VMIN / VTIME
  bool speed = false;     // the rate
  bool Any() const { return cflag != 0 || input || local || timeouts || speed; }
};
TUnapplied UnappliedFields(const termios& wanted, const termios& got);

// Reads the arbitrary rate of an open terminal (BOTHER). Returns 0 or the errno.
int GetCustomBaud(int fd, uint32_t& ispeed, uint32_t& ospeed);

// Sets an arbitrary input and output rate on an open terminal (BOTHER).
// Returns 0 or the errno.
int SetCustomBaud(int fd, uint32_t baud);

}  // namespace serial_impl
