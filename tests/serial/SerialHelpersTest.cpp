// Port names, the termios form of the line settings, the receive filter and
// the line-error flags from the driver's counters.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "LineSettings.h"
#include "PortNames.h"
#include "ReceiveFilter.h"
#include "SerialPort.h"
#include "WorkThread.h"

using namespace serial_impl;

TEST(ResolvePortName, MapsNamesThroughPortsThenComNumbersThenDev) {
  const std::map<std::string, std::string> ports = {{"COM1", "/dev/ttyUSB0"}, {"com3", " /tmp/phone0 "}};
  struct Case {
    const char* name;
    const char* path;
  } cases[] = {
      {"COM1", "/dev/ttyUSB0"},  {"com1", "/dev/ttyUSB0"}, {"COM3", "/tmp/phone0"},
      {"COM2", "/dev/ttyS1"},    {"COM10", "/dev/ttyS9"},  {"cOm4", "/dev/ttyS3"},
      {"/dev/ttyACM0", "/dev/ttyACM0"}, {"ttyACM1", "/dev/ttyACM1"}, {"COM0", "/dev/COM0"},
      {"COMX", "/dev/COMX"},     {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ResolvePortName(c.name, ports), c.path) << "name " << c.name;
}

TEST(ResolvePortName, PortsEntryOverridesPath) {
  EXPECT_EQ(ResolvePortName("/dev/ttyS0", {{"/DEV/TTYS0", "/dev/ttyUSB3"}}), "/dev/ttyUSB3");
}

TEST(ToTermios, MapsFrameSettings) {
  struct Case {
    uint8_t bits, parity, stop;
    tcflag_t cflagSet;
    tcflag_t iflagSet;
  } cases[] = {
      {8, 0, 0, CS8, 0},
      {7, 2, 0, CS7 | PARENB, INPCK | PARMRK},
      {7, 1, 2, CS7 | PARENB | PARODD | CSTOPB, INPCK | PARMRK},
      {5, 3, 1, CS5 | PARENB | CMSPAR | PARODD | CSTOPB, INPCK | PARMRK},
      {6, 4, 0, CS6 | PARENB | CMSPAR, INPCK | PARMRK},
  };
  for (const Case& c : cases) {
    TLineSettings s;
    s.ByteSize = c.bits;
    s.Parity = c.parity;
    s.StopBits = c.stop;
    if (c.parity) s.Flags |= kFlagParity;
    termios t{};
    bool custom = true;
    ASSERT_EQ(ToTermios(s, t, custom), 0);
    const tcflag_t frame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    EXPECT_EQ(t.c_cflag & frame, c.cflagSet) << int(c.bits) << "/" << int(c.parity) << "/" << int(c.stop);
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK), c.iflagSet);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_FALSE(custom);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  }
}

TEST(ToTermios, RejectsValuesTheLineCannotCarry) {
  const auto rejects = [](auto change) {
    TLineSettings s;
    change(s);
    termios t{};
    bool custom = false;
    return ToTermios(s, t, custom);
  };
  EXPECT_EQ(rejects([](TLineSettings& s) { s.ByteSize = 9; }), EINVAL);
  EXPECT_EQ(rejects([](TLineSettings& s) { s.ByteSize = 4; }), EINVAL);
  EXPECT_EQ(rejects([](TLineSettings& s) { s.Parity = 5; }), EINVAL);
  EXPECT_EQ(rejects([](TLineSettings& s) { s.StopBits = 3; }), EINVAL);
  EXPECT_EQ(rejects([](TLineSettings& s) { s.BaudRate = 0; }), EINVAL);
}

TEST(ToTermios, FlowControlBitsAndRates) {
  struct Case {
    uint32_t flow;
    tcflag_t cflag, iflag;
  } cases[] = {
      {0, 0, 0},
      {kFlagOutxCtsFlow, CRTSCTS, 0},
      {kFlagRtsHandshake, CRTSCTS, 0},
      {kFlagOutX, 0, IXON},
      {kFlagInX, 0, IXOFF},
      {kFlagOutX | kFlagInX | kFlagOutxCtsFlow, CRTSCTS, IXON | IXOFF},
  };
  for (const Case& c : cases) {
    TLineSettings s;
    s.Flags |= c.flow;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    termios t{};
    bool custom = false;
    ASSERT_EQ(ToTermios(s, t, custom), 0);
    EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag) << "flow " << c.flow;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag) << "flow " << c.flow;
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  }
  for (uint32_t baud : {14400u, 56000u, 128000u, 256000u}) {
    TLineSettings s;
    s.BaudRate = baud;
    termios t{};
    bool custom = false;
    ASSERT_EQ(ToTermios(s, t, custom), 0);
    EXPECT_TRUE(custom) << baud;
  }
  EXPECT_EQ(BaudConstant(115200), speed_t(B115200));
}

TEST(ReceiveFilter, RemovesParityMarksAndNulls) {
  struct Case {
    TReceiveFilter::Options opt;
    std::string in, out;
  } cases[] = {
      {{false, false, 0, false}, std::string("a\xff\0b", 4), std::string("a\xff\0b", 4)},
      {{true, false, 0, false}, std::string("a\xff\0xb", 5), "axb"},
      {{true, true, '?', false}, std::string("a\xff\0xb", 5), "a?b"},
      {{true, false, 0, false}, "a\xff\xff" "b", "a\xff" "b"},
      {{false, false, 0, true}, std::string("\0O\0K\0", 5), "OK"},
      {{true, true, 0, true}, std::string("O\xff\0zK", 5), "OK"},
  };
  for (const Case& c : cases) {
    TReceiveFilter f;
    f.SetOptions(c.opt);
    std::string out;
    f.Apply(c.in.data(), c.in.size(), out);
    EXPECT_EQ(out, c.out);
  }
}

TEST(ReceiveFilter, CompletesAMarkSplitAcrossReads) {
  TReceiveFilter f;
  f.SetOptions({true, true, '#', false});
  std::string out;
  f.Apply("ab\xff", 3, out);
  EXPECT_EQ(out, "ab");
  f.Apply(std::string("\0", 1).data(), 1, out);
  EXPECT_EQ(out, "ab");
  f.Apply("xc", 2, out);
  EXPECT_EQ(out, "ab#c");
}

TEST(LineErrorsFromCounters, EachCounterSetsItsFlagAndEvent) {
  struct Case {
    int serial_icounter_struct::*field;
    uint32_t flags, events;
  } cases[] = {
      {&serial_icounter_struct::buf_overrun, CE_RXOVER, EV_ERR},
      {&serial_icounter_struct::overrun, CE_OVERRUN, EV_ERR},
      {&serial_icounter_struct::parity, CE_RXPARITY, EV_ERR},
      {&serial_icounter_struct::frame, CE_FRAME, EV_ERR},
      {&serial_icounter_struct::brk, CE_BREAK, EV_BREAK},
      {&serial_icounter_struct::rx, 0, 0},
  };
  for (const Case& c : cases) {
    serial_icounter_struct before{}, now{};
    now.*c.field = 3;
    uint32_t events = 0;
    EXPECT_EQ(LineErrorsFromCounters(before, now, events), c.flags);
    EXPECT_EQ(events, c.events);
  }
}

namespace {

TEST(ToTermiosHardening, RefusedFieldKeepsItsValueAndTheRestIsRaw) {
  termios cooked{};
  cooked.c_lflag = ECHO | ICANON | ISIG;
  cooked.c_iflag = ICRNL;
  cooked.c_cflag = CS7 | PARENB | CSTOPB;
  cfsetospeed(&cooked, B1200);
  cfsetispeed(&cooked, B1200);
  struct Case {
    const char* what;
    void (*change)(serial_impl::TLineSettings&);
    tcflag_t frame;  // expected CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    speed_t speed;
  } cases[] = {
      {"data bits 9", [](serial_impl::TLineSettings& s) { s.ByteSize = 9; }, CS7, B9600},
      {"parity 5", [](serial_impl::TLineSettings& s) { s.Parity = 5; }, CS8 | PARENB, B9600},
      {"stop bits 3", [](serial_impl::TLineSettings& s) { s.StopBits = 3; }, CS8 | CSTOPB, B9600},
      {"rate 0", [](serial_impl::TLineSettings& s) { s.BaudRate = 0; }, CS8, B1200},
  };
  for (const Case& c : cases) {
    serial_impl::TLineSettings s;
    c.change(s);
    termios t = cooked;
    bool custom = true;
    EXPECT_EQ(serial_impl::ToTermios(s, t, custom), EINVAL) << c.what;
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.frame) << c.what;
    EXPECT_EQ(cfgetospeed(&t), c.speed) << c.what;
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0)) << c.what;
    EXPECT_EQ(t.c_iflag & ICRNL, tcflag_t(0)) << c.what;
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD)) << c.what;
    EXPECT_EQ(t.c_cc[VMIN], 0) << c.what;
    EXPECT_FALSE(custom) << c.what;
  }
}

TEST(UnappliedFields, EachFieldTheDeviceDidNotTake) {
  serial_impl::TLineSettings s;
  s.ByteSize = 7;
  s.Parity = 2;
  s.Flags |= serial_impl::kFlagParity;
  termios wanted{};
  bool custom = false;
  ASSERT_EQ(serial_impl::ToTermios(s, wanted, custom), 0);
  EXPECT_FALSE(serial_impl::UnappliedFields(wanted, wanted).Any());

  termios got = wanted;  // an adapter that keeps 8 bits without parity
  got.c_cflag = (got.c_cflag & ~(CSIZE | PARENB)) | CS8;
  auto u = serial_impl::UnappliedFields(wanted, got);
  EXPECT_EQ(u.cflag, tcflag_t(CS7 ^ CS8) | PARENB);
  EXPECT_FALSE(u.speed || u.input || u.local || u.timeouts);

  got = wanted;
  cfsetospeed(&got, B19200);
  EXPECT_TRUE(serial_impl::UnappliedFields(wanted, got).speed);
  got = wanted;
  got.c_iflag &= ~PARMRK;
  EXPECT_TRUE(serial_impl::UnappliedFields(wanted, got).input);
  got = wanted;
  got.c_lflag |= ECHO;
  EXPECT_TRUE(serial_impl::UnappliedFields(wanted, got).local);
  got = wanted;
  got.c_cc[VMIN] = 1;
  EXPECT_TRUE(serial_impl::UnappliedFields(wanted, got).timeouts);
  got = wanted;
  got.c_cflag &= ~CLOCAL;
  EXPECT_EQ(serial_impl::UnappliedFields(wanted, got).cflag, tcflag_t(CLOCAL));
}

TEST(ModemEvents, RingOnTheRisingEdgeOnlyOtherLinesOnBothEdges) {
  using serial_impl::ModemEvents;
  EXPECT_EQ(ModemEvents(0, MS_RING_ON), uint32_t(EV_RING));
  EXPECT_EQ(ModemEvents(MS_RING_ON, 0), 0u);  // the ring indicator dropping is no second ring
  EXPECT_EQ(ModemEvents(MS_RING_ON, MS_RING_ON), 0u);
  EXPECT_EQ(ModemEvents(0, MS_CTS_ON), uint32_t(EV_CTS));
  EXPECT_EQ(ModemEvents(MS_CTS_ON, 0), uint32_t(EV_CTS));
  EXPECT_EQ(ModemEvents(MS_DSR_ON, 0), uint32_t(EV_DSR));
  EXPECT_EQ(ModemEvents(0, MS_RLSD_ON), uint32_t(EV_RLSD));
  EXPECT_EQ(ModemEvents(MS_RLSD_ON | MS_RING_ON, MS_CTS_ON), uint32_t(EV_RLSD | EV_CTS));
  // One ring cycle (up, down) is one event.
  uint32_t events = ModemEvents(0, MS_RING_ON) | ModemEvents(MS_RING_ON, 0);
  EXPECT_EQ(events, uint32_t(EV_RING));
}

TEST(ClassifyRead, OnlyHangUpErrorsMeanTheDeviceIsGone) {
  using serial_impl::ClassifyRead;
  using serial_impl::ReadOutcome;
  EXPECT_EQ(ClassifyRead(5, 0), ReadOutcome::Data);
  // VMIN = VTIME = 0: zero bytes means the queue was empty by then.
  EXPECT_EQ(ClassifyRead(0, 0), ReadOutcome::Nothing);
  EXPECT_EQ(ClassifyRead(-1, EAGAIN), ReadOutcome::Nothing);
  EXPECT_EQ(ClassifyRead(-1, EINTR), ReadOutcome::Nothing);
  EXPECT_EQ(ClassifyRead(-1, EIO), ReadOutcome::Gone);
  EXPECT_EQ(ClassifyRead(-1, ENXIO), ReadOutcome::Gone);
  EXPECT_EQ(ClassifyRead(-1, EBADF), ReadOutcome::Failed);
  EXPECT_EQ(ClassifyRead(-1, EFAULT), ReadOutcome::Failed);
}

}  // namespace
