#include "LineSettings.h"

#include <cerrno>

namespace serial_impl {

speed_t BaudConstant(uint32_t baud) {
  struct Row {
    uint32_t rate;
    speed_t code;
  };
  static constexpr Row kRates[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const Row& r : kRates)
    if (r.rate == baud) return r.code;
  return 0;
}

namespace {

// Raw mode, the local and receiver-on flags and the read timeouts hold for
// every line state: a refused field must never leave the device cooked
// (echo, CR to LF, line buffering).
void MakeRaw(termios& t) {
  cfmakeraw(&t);
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;  // the modem's DCD must not gate reading or writing
  // Reads return at once with whatever is queued.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

// The frame: byte size, parity, stop bits. A field that cannot be expressed
// keeps the device's current value (before) and makes the result EINVAL.
int SetFrame(const TLineSettings& s, const termios& before, termios& t) {
  int result = 0;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  if (s.ByteSize >= 5 && s.ByteSize <= 8) {
    t.c_cflag |= kSizes[s.ByteSize - 5];
  } else {
    t.c_cflag |= before.c_cflag & CSIZE;
    result = EINVAL;
  }

  switch (s.Parity) {
    case 0: break;
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default:
      t.c_cflag |= before.c_cflag & (PARENB | PARODD | CMSPAR);
      result = EINVAL;
      break;
  }
  // With parity checking on, bad bytes are marked (\377 \0 byte) so that the
  // receive filter can keep them or replace them with the error character.
  if (s.Flags & kFlagParity) t.c_iflag |= INPCK | PARMRK;
  if (s.StopBits <= 2) {
    if (s.StopBits != 0) t.c_cflag |= CSTOPB;  // one and a half stop bits are taken as two
  } else {
    t.c_cflag |= before.c_cflag & CSTOPB;
    result = EINVAL;
  }
  return result;
}

// Hardware and software flow control.
void SetFlowControl(const TLineSettings& s, termios& t) {
  if ((s.Flags & kFlagOutxCtsFlow) || (s.Flags & kFlagRtsControlMask) == kFlagRtsHandshake)
    t.c_cflag |= CRTSCTS;
  if (s.Flags & kFlagOutX) t.c_iflag |= IXON;
  if (s.Flags & kFlagInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
}

// The speed; a rate without a constant is custom (B38400 until
// SetCustomBaud), rate 0 keeps the device's speed and is EINVAL.
int SetSpeed(const TLineSettings& s, const termios& before, termios& t, bool& custom) {
  custom = false;
  if (s.BaudRate == 0) {
    cfsetispeed(&t, cfgetispeed(&before));
    cfsetospeed(&t, cfgetospeed(&before));
    return EINVAL;
  }
  speed_t code = BaudConstant(s.BaudRate);
  custom = code == 0;
  if (custom) code = B38400;  // placeholder until SetCustomBaud
  cfsetispeed(&t, code);
  cfsetospeed(&t, code);
  return 0;
}

}  // namespace

int ToTermios(const TLineSettings& s, termios& t, bool& custom) {
  const termios before = t;
  MakeRaw(t);
  const int frame = SetFrame(s, before, t);
  SetFlowControl(s, t);
  const int speed = SetSpeed(s, before, t, custom);
  return speed != 0 ? speed : frame;
}

TUnapplied UnappliedFields(const termios& wanted, const termios& got) {
  // tcsetattr succeeds when any one change took effect, so each field is
  // compared on its own.
  static constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD;
  static constexpr tcflag_t kInput = INPCK | PARMRK | IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP;
  static constexpr tcflag_t kLocal = ICANON | ECHO | ISIG | IEXTEN;
  TUnapplied u;
  u.cflag = (wanted.c_cflag ^ got.c_cflag) & kFrame;
  u.input = ((wanted.c_iflag ^ got.c_iflag) & kInput) != 0;
  u.local = ((wanted.c_lflag ^ got.c_lflag) & kLocal) != 0;
  u.timeouts = wanted.c_cc[VMIN] != got.c_cc[VMIN] || wanted.c_cc[VTIME] != got.c_cc[VTIME];
  u.speed = cfgetospeed(&wanted) != cfgetospeed(&got) || cfgetispeed(&wanted) != cfgetispeed(&got);
  return u;
}

}  // namespace serial_impl
