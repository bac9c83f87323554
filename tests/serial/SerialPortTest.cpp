// TSerialPort on pseudo-terminal pairs: the port opens the slave's path, the
// test plays the device on the master and pumps the user-interface calls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Pty.h"
#include "SerialPort.h"
#include "TestDispatcher.h"

namespace {

struct Report {
  uint32_t place, code;
  std::string msg;
};

std::string Pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal here: openpty failed with errno " << pty.error();
    port = std::make_unique<TSerialPort>(ui);
    port->OnProcessError = [this](void*, uint32_t place, uint32_t code, const std::string& msg) {
      reports.push_back({place, code, msg});
    };
    port->OnRxClusterEvent = [this](TSerialPort& p) {
      errors.push_back(p.PeekClusterError());
      clusters.push_back(p.TakeClusterText());
    };
    port->OnWriteDone = [this](TSerialPort&) { ++writeDone; };
    port->SetCommPort(pty.path());
  }

  void TearDown() override {
    port.reset();
    ui.Pump();  // calls still queued must do nothing now
  }

  void Open() {
    port->SetActive(true);
    ASSERT_TRUE(port->Active()) << "could not open " << pty.path();
  }

  // Only the size rule or a read request can end a burst.
  void NoTimeLimit() {
    port->SetRTOCharDelayTime(1000);
    port->SetRTOExtraDelayTime(60000);
  }

  const Report* Find(uint32_t place, const std::string& msg) const {
    for (const Report& r : reports)
      if (r.place == place && r.msg == msg) return &r;
    return nullptr;
  }

  std::string Received() const {
    std::string all;
    for (const std::string& c : clusters) all += c;
    return all;
  }

  Pty pty;
  TestDispatcher ui;
  std::vector<Report> reports;
  std::vector<std::string> clusters;
  std::vector<int> errors;
  int writeDone = 0;
  std::unique_ptr<TSerialPort> port;  // declared last: destroyed first
};

TEST_F(SerialPortTest, OpenAppliesLineSettingsAndCloseRestoresTheDevice) {
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  cfsetspeed(&before, B1200);
  before.c_lflag |= ECHO | ICANON;
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &before), 0);

  port->SetDataBits(7);
  port->SetParityType(2);
  port->SetStopBits(2);
  port->SetBaudRate(57600);
  Open();
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
  EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t(CSTOPB));  // a pseudo-terminal keeps 8 bits without parity
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), tcflag_t(0));
  EXPECT_EQ(port->XONLimit(), 1351);  // 4096 x 33 / 100
  EXPECT_NE(port->ComHandle(), TSerialPort::kInvalidHandle);

  // A pseudo-terminal has no modem lines: reported, and the port stays open.
  ASSERT_NE(Find(601, "Error setting DTR"), nullptr);
  EXPECT_EQ(Find(601, "Error setting DTR")->code, uint32_t(ENOTTY));
  EXPECT_NE(Find(501, "Error setting RTS"), nullptr);
  EXPECT_NE(Find(110, "Msg start reactivating Port"), nullptr);
  EXPECT_TRUE(port->DTRState());
  EXPECT_TRUE(port->RTSState());

  port->SetActive(false);
  EXPECT_FALSE(port->Active());
  EXPECT_EQ(port->ComHandle(), TSerialPort::kInvalidHandle);
  EXPECT_NE(Find(100, "Msg start deactivating Port"), nullptr);
  EXPECT_NE(Find(602, "Error clearing DTR"), nullptr);
  EXPECT_FALSE(port->DTRState());
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B1200));
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), tcflag_t(ECHO | ICANON));
}

TEST_F(SerialPortTest, NonStandardRateIsAppliedWithoutError) {
  port->SetBaudRate(56000);
  Open();
  EXPECT_EQ(Find(802, "Error setting CommState, 87 indicate that Parms are incorrect"), nullptr);
}

TEST_F(SerialPortTest, MissingDeviceOrPlainFileReports112AndStaysClosed) {
  const std::string file = ::testing::TempDir() + "serial_not_a_tty";
  std::ofstream(file) << "x";
  struct Case {
    std::string path;
    int err;
  } cases[] = {{"/nonexistent/ttyPDULINK", ENOENT}, {file, ENOTTY}};
  for (const Case& c : cases) {
    reports.clear();
    port->SetCommPort(c.path);
    port->SetActive(true);
    EXPECT_FALSE(port->Active()) << c.path;
    const Report* r = Find(112, "Error reopening Port");
    ASSERT_NE(r, nullptr) << c.path;
    EXPECT_EQ(r->code, uint32_t(c.err)) << c.path;
  }
}

TEST_F(SerialPortTest, OneBurstIsOneClusterAndOneEvent) {
  port->SetBaudRate(19200);
  port->SetRTOCharDelayTime(43);
  port->SetWTOCharDelayTime(43);
  Open();
  ASSERT_TRUE(pty.Write("\r\nOK\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return clusters.size() >= 1; }));
  ASSERT_TRUE(pty.Write("RING\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return clusters.size() >= 2; }));
  ASSERT_EQ(clusters.size(), 2u);  // nothing split off either burst
  EXPECT_EQ(clusters[0], "\r\nOK\r\n");
  EXPECT_EQ(clusters[1], "RING\r\n");
  EXPECT_EQ(errors[0], 0);
  EXPECT_EQ(port->PeekClusterSize(), -1);
}

TEST_F(SerialPortTest, LongContinuousStreamBecomesSeveralClustersWithoutLoss) {
  port->SetRTOExtraDelayTime(100);
  Open();
  const std::string sent = Pattern(300);
  std::thread device([&] {
    for (char c : sent) {
      pty.Write(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  });
  const bool all = ui.PumpUntil([&] { return Received().size() >= sent.size(); });
  device.join();
  ASSERT_TRUE(all) << "received " << Received().size() << " of " << sent.size();
  EXPECT_EQ(Received(), sent);
  EXPECT_GE(clusters.size(), 2u);
}

TEST_F(SerialPortTest, FullClusterSizeIsReadWithoutWaitingForTheBurstToEnd) {
  NoTimeLimit();
  Open();
  const std::string sent = Pattern(3072);
  ASSERT_TRUE(pty.Write(sent));
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters[0].size(), 3072u);
  EXPECT_EQ(clusters[0], sent);
}

TEST_F(SerialPortTest, ReadRequestReadsQueuedBytesAtOnceAndClears) {
  NoTimeLimit();
  Open();
  ASSERT_TRUE(pty.Write("+CSQ: 20,0"));
  port->SetReadRequest(true);
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters[0], "+CSQ: 20,0");
  EXPECT_FALSE(port->ReadRequest());
}

TEST_F(SerialPortTest, ImmediateWriteRaisesWriteDone) {
  Open();
  port->SendText("");  // nothing at all
  EXPECT_EQ(writeDone, 0);
  port->SendText("AT\r");
  std::string got;
  ASSERT_TRUE(ui.PumpUntil([&] {
    got += pty.ReadAvailable();
    return got.size() >= 3;
  }));
  EXPECT_EQ(got, "AT\r");
  EXPECT_EQ(writeDone, 1);
  EXPECT_EQ(port->WrittenBytes(), 3u);
  EXPECT_FALSE(port->SendInProgress());
}

TEST_F(SerialPortTest, WriteWhileSendInProgressIsRefusedAndItsBytesDropped) {
  port->SetWTOExtraDelayTime(60000);
  Open();
  const std::string big = Pattern(1 << 20);
  port->SendData(big.data(), static_cast<uint32_t>(big.size()));
  ASSERT_TRUE(port->SendInProgress()) << "the pseudo-terminal took 1 MiB at once";
  port->SendText("XYZ");
  const Report* refused = Find(901, "Msg, dont enter SendData while SendInProgress is set");
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->code, 0u);

  std::string got;
  ASSERT_TRUE(ui.PumpUntil([&] {
    got += pty.ReadAvailable();
    return writeDone == 1;
  }));
  got += pty.ReadAvailable();
  EXPECT_EQ(got.size(), big.size());
  EXPECT_TRUE(got == big) << "the written stream differs from the first block";
  EXPECT_EQ(port->WrittenBytes(), big.size());
  EXPECT_EQ(Find(9701, "Error write TimeOut"), nullptr);
}

TEST_F(SerialPortTest, WriteThatCannotFinishInTimeEndsShortWithWriteDone) {
  port->SetWTOCharDelayTime(0);
  port->SetWTOExtraDelayTime(1);
  Open();
  const std::string big = Pattern(1 << 20);
  port->SendData(big.data(), static_cast<uint32_t>(big.size()));
  ASSERT_TRUE(ui.PumpUntil([&] { return writeDone == 1; }));  // the test never reads the master
  EXPECT_NE(Find(9701, "Error write TimeOut"), nullptr);
  EXPECT_LT(port->WrittenBytes(), big.size());
  EXPECT_FALSE(port->SendInProgress());
}

TEST_F(SerialPortTest, SendDataOnClosedPortReportsBadDescriptor) {
  port->SendText("AT\r");
  ASSERT_NE(Find(902, "Error setting CommTimeout"), nullptr);
  ASSERT_NE(Find(903, "Error writing Data"), nullptr);
  EXPECT_EQ(Find(903, "Error writing Data")->code, uint32_t(EBADF));
  EXPECT_EQ(writeDone, 0);
}

TEST_F(SerialPortTest, SettersWithTheCurrentValueNeitherReapplyNorReopen) {
  Open();
  const uint32_t applied = port->ApplyCount();
  const uint64_t opened = port->OpenCount();
  reports.clear();
  // Change the device behind the port's back: only a real re-apply undoes it.
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  cfsetspeed(&t, B1200);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);

  struct Setter {
    const char* name;
    std::function<void()> same, changed;
  } setters[] = {
      {"BaudRate", [&] { port->SetBaudRate(9600); }, [&] { port->SetBaudRate(19200); }},
      {"ParityType", [&] { port->SetParityType(0); }, [&] { port->SetParityType(1); }},
      {"ParityErrorChar", [&] { port->SetParityErrorChar(0); }, [&] { port->SetParityErrorChar('?'); }},
      {"ParityErrorReplacement", [&] { port->SetParityErrorReplacement(false); },
       [&] { port->SetParityErrorReplacement(true); }},
      {"StopBits", [&] { port->SetStopBits(0); }, [&] { port->SetStopBits(2); }},
      {"DataBits", [&] { port->SetDataBits(8); }, [&] { port->SetDataBits(7); }},
      {"XONChar", [&] { port->SetXONChar(17); }, [&] { port->SetXONChar(1); }},
      {"XOFFChar", [&] { port->SetXOFFChar(19); }, [&] { port->SetXOFFChar(2); }},
      {"XONLimDiv", [&] { port->SetXONLimDiv(33); }, [&] { port->SetXONLimDiv(50); }},
      {"XOFFLimDiv", [&] { port->SetXOFFLimDiv(33); }, [&] { port->SetXOFFLimDiv(50); }},
      {"FlowControl", [&] { port->SetFlowControl(0); }, [&] { port->SetFlowControl(0x300); }},
      {"StripNullChars", [&] { port->SetStripNullChars(false); }, [&] { port->SetStripNullChars(true); }},
      {"EventChar", [&] { port->SetEventChar(0); }, [&] { port->SetEventChar('\n'); }},
      {"WTOCharDelayTime", [&] { port->SetWTOCharDelayTime(1100); }, [&] { port->SetWTOCharDelayTime(95); }},
      {"WTOExtraDelayTime", [&] { port->SetWTOExtraDelayTime(250); }, [&] { port->SetWTOExtraDelayTime(100); }},
  };
  for (const Setter& s : setters) s.same();
  port->SetCommPort(pty.path());
  port->SetActive(true);
  EXPECT_EQ(port->ApplyCount(), applied);
  EXPECT_EQ(port->OpenCount(), opened);
  EXPECT_TRUE(reports.empty()) << "first report: " << reports.front().place << " " << reports.front().msg;
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B1200));

  uint32_t expected = applied;
  for (const Setter& s : setters) {
    s.changed();
    ++expected;
    if (std::string(s.name) == "BaudRate") ++expected;  // its AutoCharDelay changes WTOCharDelayTime too
    EXPECT_EQ(port->ApplyCount(), expected) << s.name;
  }
  EXPECT_EQ(port->OpenCount(), opened);
}

TEST_F(SerialPortTest, LimitDivisorsAbove100AreReportedAndStoredAs100) {
  port->SetXONLimDiv(150);
  port->SetXOFFLimDiv(101);
  EXPECT_EQ(port->XONLimDiv(), 100);
  EXPECT_EQ(port->XOFFLimDiv(), 100);
  ASSERT_NE(Find(100, "Warning XOnLimDef set to 100"), nullptr);
  EXPECT_EQ(Find(100, "Warning XOnLimDef set to 100")->code, 150u);
  ASSERT_NE(Find(100, "Warning XOffLimDef set to 100"), nullptr);
  EXPECT_EQ(Find(100, "Warning XOffLimDef set to 100")->code, 101u);
}

TEST_F(SerialPortTest, ControlLinesOfAClosedPortKeepTheirValues) {
  port->SetDTRState(false);
  port->SetRTSState(false);
  port->SetBREAKState(true);
  EXPECT_TRUE(port->DTRState());
  EXPECT_TRUE(port->RTSState());
  EXPECT_FALSE(port->BREAKState());
  EXPECT_TRUE(reports.empty());
}

TEST_F(SerialPortTest, ErrorNoiseIsTheHighestLevelRaised) {
  struct Case {
    uint8_t noise;
    std::vector<uint32_t> places;
  } cases[] = {{0, {112}}, {1, {100, 112}}, {2, {100, 110, 112}}, {255, {100, 110, 112}}};
  port->SetCommPort("/nonexistent/ttyPDULINK");
  for (const Case& c : cases) {
    reports.clear();
    port->SetErrorNoise(c.noise);
    port->SetXONLimDiv(33);
    port->SetXONLimDiv(150);  // level 1
    port->SetActive(true);    // 110 is level 2, 112 level 0
    std::vector<uint32_t> places;
    for (const Report& r : reports) places.push_back(r.place);
    EXPECT_EQ(places, c.places) << "ErrorNoise " << int(c.noise);
  }
}

TEST_F(SerialPortTest, CharDelaysFollowTheBaudRateWhileAuto) {
  struct Case {
    uint32_t baud, micros;
  } cases[] = {{57600, 190}, {300000, 1100}, {110, 100000}, {9601, 760}, {256000, 43}, {19200, 570}};
  for (const Case& c : cases) {
    port->SetBaudRate(c.baud);
    EXPECT_EQ(port->RTOCharDelayTime(), c.micros) << c.baud;
    EXPECT_EQ(port->WTOCharDelayTime(), c.micros) << c.baud;
  }
  port->SetXTOAuto(false);
  port->SetBaudRate(110);
  EXPECT_EQ(port->RTOCharDelayTime(), 570u);
}

TEST_F(SerialPortTest, CommPortChangeReopensAnOpenPortAndOnlyStoresForAClosedOne) {
  Pty other;
  ASSERT_TRUE(other.ok());
  port->SetCommPort(other.path());
  EXPECT_TRUE(reports.empty());
  EXPECT_FALSE(port->Active());

  port->SetCommPort(pty.path());
  Open();
  reports.clear();
  port->SetCommPort(other.path());
  EXPECT_TRUE(port->Active());
  EXPECT_NE(Find(100, "Msg start deactivating Port"), nullptr);
  EXPECT_NE(Find(110, "Msg start reactivating Port"), nullptr);
  port->SetReadRequest(true);
  ASSERT_TRUE(other.Write("OK"));
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters[0], "OK");
}

TEST_F(SerialPortTest, EmptyClusterQueue) {
  EXPECT_EQ(port->PeekClusterSize(), -1);
  EXPECT_EQ(port->PeekClusterError(), -1);
  EXPECT_EQ(port->TakeClusterText(), "");
}

TEST_F(SerialPortTest, NoEventOrReportAfterDestructionBegan) {
  auto raised = std::make_shared<std::atomic<int>>(0);
  auto count = [raised](TSerialPort&) { ++*raised; };
  port->OnCommStat = port->OnCommEvent = port->OnRxCharEvent = port->OnTxQueueEmptyEvent = count;
  port->OnRxClusterEvent = count;
  Open();
  reports.clear();
  port->OnProcessError = [raised](void*, uint32_t, uint32_t, const std::string&) { ++*raised; };
  port->SetReadRequest(true);
  ASSERT_TRUE(pty.Write("+CMTI: \"SM\",1\r\n"));
  // Wait, without running anything, until the worker has handed over a call.
  for (int i = 0; i < 2000 && ui.Queued() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GT(ui.Queued(), 0u);
  port.reset();
  ui.Pump();
  EXPECT_EQ(raised->load(), 0);
}

TEST_F(SerialPortTest, DeviceVanishingMidReadIsReportedAndClosesThePort) {
  NoTimeLimit();
  Open();
  ASSERT_TRUE(pty.Write("+CMGL: 1,0,,2"));  // a burst that never ends
  ASSERT_TRUE(ui.PumpUntil([&] { return port->CommStateInQueue() > 0; }));
  pty.CloseMaster();
  ASSERT_TRUE(ui.PumpUntil([&] { return !port->Active(); }));
  const Report* gone = Find(9907, "Error calling WaitCommEvent");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->code, uint32_t(EIO));
  EXPECT_NE(Find(100, "Msg start deactivating Port"), nullptr);
  EXPECT_EQ(port->ComHandle(), TSerialPort::kInvalidHandle);
  ASSERT_TRUE(ui.PumpUntil([&] { return !port->ThreadBusy(); }));  // the worker is idle again
}

}  // namespace

namespace {

TEST_F(SerialPortTest, ClosingFromInsideAClusterHandlerDoesNotWaitForTheWorker) {
  port->OnRxClusterEvent = [this](TSerialPort& p) {
    clusters.push_back(p.TakeClusterText());
    p.SetActive(false);  // the worker is blocked in this very hand-over
  };
  Open();
  port->SetReadRequest(true);
  ASSERT_TRUE(pty.Write("ERROR\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_FALSE(port->Active());
  EXPECT_EQ(Find(104, "Warning ThreadIsRunning"), nullptr);
  EXPECT_EQ(clusters[0], "ERROR\r\n");
}

TEST_F(SerialPortTest, LineEventsAndReportsRunOnTheUserInterfaceThread) {
  const auto uiThread = std::this_thread::get_id();
  std::vector<std::thread::id> seen;
  bool rxChar = false, txEmpty = false, commStat = false, commEvent = false;
  port->OnRxCharEvent = [&](TSerialPort&) { rxChar = true, seen.push_back(std::this_thread::get_id()); };
  port->OnTxQueueEmptyEvent = [&](TSerialPort&) { txEmpty = true, seen.push_back(std::this_thread::get_id()); };
  port->OnCommStat = [&](TSerialPort&) { commStat = true, seen.push_back(std::this_thread::get_id()); };
  port->OnCommEvent = [&](TSerialPort&) { commEvent = true, seen.push_back(std::this_thread::get_id()); };
  port->OnProcessError = [&](void*, uint32_t place, uint32_t code, const std::string& msg) {
    reports.push_back({place, code, msg});
    seen.push_back(std::this_thread::get_id());
  };
  Open();
  port->SendText("AT\r");
  ASSERT_TRUE(pty.Write("OK"));
  ASSERT_TRUE(ui.PumpUntil([&] { return rxChar && txEmpty && commStat && commEvent && !clusters.empty(); }));
  // The pseudo-terminal refuses the modem-status poll: reported once, not on every pass.
  ASSERT_TRUE(ui.PumpUntil([&] { return Find(9905, "Error getting ModemStatus") != nullptr; }));
  int modemReports = 0;
  for (const Report& r : reports) modemReports += r.place == 9905;
  EXPECT_EQ(modemReports, 1);
  for (const auto& id : seen) EXPECT_EQ(id, uiThread);
}

// Fast mode. The port is handed its framing rule; the dialogue's grammar of
// reply ends is tested where it lives, so a plain rule stands in for it here:
// a reply ends with a framed OK.
bool EndsWithFramedOk(std::string_view bytes) {
  return bytes.size() >= 6 && bytes.substr(bytes.size() - 6) == "\r\nOK\r\n";
}

// With the rule's time set to a minute, only a reply's end (or the size rule,
// or a read request) can close a burst here.
TEST_F(SerialPortTest, ReplyAwareFramingClosesWhereTheRuleSeesAReplyEnd) {
  NoTimeLimit();
  port->SetReplyFraming(&EndsWithFramedOk);
  Open();
  const auto none = std::chrono::milliseconds(300);

  // A partial reply is held, the final OK closes it with everything before it.
  ASSERT_TRUE(pty.Write("\r\n+CSQ: 20,0\r\n"));
  EXPECT_FALSE(ui.PumpUntil([&] { return !clusters.empty(); }, none));
  ASSERT_TRUE(pty.Write("\r\nOK\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return clusters.size() == 1; }));
  EXPECT_EQ(clusters[0], "\r\n+CSQ: 20,0\r\n\r\nOK\r\n");

  clusters.clear();
  ASSERT_TRUE(pty.Write("ATE0\r\r\nOK\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters, std::vector<std::string>{"ATE0\r\r\nOK\r\n"});

  // An OK split across two bursts closes once, whole.
  clusters.clear();
  ASSERT_TRUE(pty.Write("\r\nO"));
  EXPECT_FALSE(ui.PumpUntil([&] { return !clusters.empty(); }, none));
  ASSERT_TRUE(pty.Write("K\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters, std::vector<std::string>{"\r\nOK\r\n"});

  // What the framing rule does not take for a reply end waits for the cluster rule.
  for (const char* open : {"\r\nRING\r\n", "AT\rOK\r\n", "\r\nOK\r\n\r\n+CMTI: \"SM\",1\r\n"}) {
    clusters.clear();
    ASSERT_TRUE(pty.Write(open));
    EXPECT_FALSE(ui.PumpUntil([&] { return !clusters.empty(); }, none)) << open;
    port->SetReadRequest(true);
    ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); })) << open;
    EXPECT_EQ(clusters, std::vector<std::string>{open});
  }
  EXPECT_FALSE(port->ReadRequest());
}

TEST_F(SerialPortTest, ReplyAwareFramingKeepsTheRuleAndTheOneBurstCut) {
  // The main window's timing: 43 us per character, 250 ms extra.
  port->SetBaudRate(19200);
  port->SetRTOCharDelayTime(43);
  Open();
  const std::string reply = "\r\n+CGMI: pdulink\r\n\r\nOK\r\n";
  std::vector<std::string> byMode[2];
  for (bool fast : {false, true}) {
    port->SetReplyFraming(fast ? &EndsWithFramedOk : nullptr);
    clusters.clear();
    ASSERT_TRUE(pty.Write(reply));
    ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
    ASSERT_TRUE(pty.Write("\r\nRING\r\n"));  // closed by the rule in both modes
    ASSERT_TRUE(ui.PumpUntil([&] { return clusters.size() == 2; }));
    byMode[fast] = clusters;
  }
  EXPECT_EQ(byMode[0], (std::vector<std::string>{reply, "\r\nRING\r\n"}));
  EXPECT_EQ(byMode[1], byMode[0]);

  // A continuous stream that holds no reply end is cut as before, and the
  // bytes arrive whole and in order.
  clusters.clear();
  port->SetRTOExtraDelayTime(100);
  const std::string sent = Pattern(200);
  std::thread device([&] {
    for (char c : sent) {
      pty.Write(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  });
  const bool all = ui.PumpUntil([&] { return Received().size() >= sent.size(); });
  device.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(Received(), sent);
  EXPECT_GE(clusters.size(), 2u);
}

TEST_F(SerialPortTest, SwitchingReplyAwareFramingOffKeepsTheHeldBytes) {
  NoTimeLimit();
  port->SetReplyFraming(&EndsWithFramedOk);
  Open();
  ASSERT_TRUE(pty.Write("\r\n+CSQ"));
  EXPECT_FALSE(ui.PumpUntil([&] { return !clusters.empty(); }, std::chrono::milliseconds(200)));
  port->SetReplyFraming(nullptr);
  ASSERT_TRUE(pty.Write(": 20,0\r\n\r\nOK\r\n"));  // no early close any more
  EXPECT_FALSE(ui.PumpUntil([&] { return !clusters.empty(); }, std::chrono::milliseconds(300)));
  port->SetReadRequest(true);
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters, std::vector<std::string>{"\r\n+CSQ: 20,0\r\n\r\nOK\r\n"});

  // The size rule still reads a full cluster at once with the framing on.
  clusters.clear();
  port->SetReplyFraming(&EndsWithFramedOk);
  const std::string sent = Pattern(3072);
  ASSERT_TRUE(pty.Write(sent));
  ASSERT_TRUE(ui.PumpUntil([&] { return !clusters.empty(); }));
  EXPECT_EQ(clusters[0], sent);
}

}  // namespace

namespace {

// Each hand-over to the user-interface thread stops the worker until that
// thread runs it; events nobody listens to must not be handed over at all.
TEST_F(SerialPortTest, OnlyAssignedEventsAreHandedOver) {
  port->OnProcessError = nullptr;
  port->OnWriteDone = nullptr;
  Open();
  ui.Pump(std::chrono::milliseconds(200));
  const size_t before = ui.Posted();
  for (int i = 0; i < 3; ++i) {
    port->SendText("AT\r");  // a write, the output queue running empty
    ASSERT_TRUE(pty.Write("\r\nOK\r\n"));  // received characters, a queue-state change
    ASSERT_TRUE(ui.PumpUntil([&] { return clusters.size() == size_t(i + 1); }));
  }
  ui.Pump(std::chrono::milliseconds(200));
  EXPECT_EQ(ui.Posted() - before, 3u);  // the three clusters, nothing else

  // Assigning a handler later is seen by the worker.
  int commStat = 0;
  port->OnCommStat = [&](TSerialPort&) { ++commStat; };
  ASSERT_TRUE(pty.Write("RING\r\n"));
  ASSERT_TRUE(ui.PumpUntil([&] { return clusters.size() == 4 && commStat > 0; }));
  EXPECT_GT(ui.Posted() - before, 4u);
}

TEST_F(SerialPortTest, LineStateTheDeviceIgnoresIsReported) {
  // A pseudo-terminal keeps 8 data bits without parity whatever is asked,
  // and tcsetattr still succeeds: only reading the state back shows it.
  port->SetDataBits(7);
  port->SetParityType(2);
  Open();
  const Report* r = Find(802, "Error setting CommState, 87 indicate that Parms are incorrect");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->code, uint32_t(EINVAL));
  EXPECT_TRUE(port->Active());  // reported, not closed

  // What the device takes is not reported: 8N1 at a standard and an odd rate.
  port->SetDataBits(8);
  port->SetParityType(0);
  reports.clear();
  port->SetBaudRate(115200);
  port->SetBaudRate(56000);
  EXPECT_EQ(Find(802, "Error setting CommState, 87 indicate that Parms are incorrect"), nullptr);
}

TEST_F(SerialPortTest, RefusedFieldStillLeavesTheDeviceRaw) {
  termios cooked{};
  ASSERT_EQ(tcgetattr(pty.slave(), &cooked), 0);
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  cooked.c_iflag |= ICRNL;
  cooked.c_cflag &= ~CLOCAL;
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &cooked), 0);

  port->SetDataBits(9);  // no such byte size
  Open();
  EXPECT_NE(Find(802, "Error setting CommState, 87 indicate that Parms are incorrect"), nullptr);
  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
  EXPECT_EQ(t.c_iflag & ICRNL, tcflag_t(0));
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  // A CR from the device arrives as CR, not as LF, and without waiting for a line.
  port->SetReadRequest(true);
  ASSERT_TRUE(pty.Write("OK\r"));
  ASSERT_TRUE(ui.PumpUntil([&] { return Received() == "OK\r"; })) << Received();
  // (The other refused fields take the same path: see ToTermiosHardening.)
}

TEST_F(SerialPortTest, BytesTakenByAnotherReaderDoNotCloseThePort) {
  NoTimeLimit();
  Open();
  for (int round = 0; round < 20; ++round) {
    clusters.clear();
    ASSERT_TRUE(pty.Write("+CMTI: \"SM\",1\r\n"));
    // (a read request still pending from the round before reads at once)
    ASSERT_TRUE(ui.PumpUntil([&] { return port->CommStateInQueue() > 0 || !clusters.empty(); }));
    // Another reader on the device drains the queue; the port's read then
    // finds nothing there, which is no hang-up.
    char buf[64];
    while (read(pty.slave(), buf, sizeof buf) > 0) {
    }
    port->SetReadRequest(true);
    ui.Pump(std::chrono::milliseconds(20));
  }
  ui.Pump(std::chrono::milliseconds(200));
  EXPECT_TRUE(port->Active());
  EXPECT_EQ(Find(9907, "Error calling WaitCommEvent"), nullptr);
}

TEST_F(SerialPortTest, PortLockedByAnotherProgramIsBusy) {
  // Another program (here: the test) holds the advisory lock on the device.
  int other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  port->SetActive(true);
  EXPECT_FALSE(port->Active());
  const Report* r = Find(112, "Error reopening Port");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->code, uint32_t(EWOULDBLOCK));
  ::close(other);  // releases the lock

  Open();
  // A second gateway on the same device is kept out, also as root (which
  // TIOCEXCL alone would let in).
  TSerialPort second(ui);
  std::vector<Report> secondReports;
  second.OnProcessError = [&](void*, uint32_t place, uint32_t code, const std::string& msg) {
    secondReports.push_back({place, code, msg});
  };
  second.SetCommPort(pty.path());
  second.SetActive(true);
  EXPECT_FALSE(second.Active());
  ASSERT_FALSE(secondReports.empty());
  EXPECT_EQ(secondReports.back().place, 112u);

  // Closing releases the lock.
  port->SetActive(false);
  other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  second.SetActive(true);
  EXPECT_TRUE(second.Active());
}

}  // namespace
