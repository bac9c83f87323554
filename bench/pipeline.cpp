// Pipeline benchmark: the real gateway (window offscreen, the same parts the
// program runs) against pdulink-phone on a pseudo-terminal, at phone latency
// 0 ms and 100 ms, in the default mode and with FastMode=1. Each figure is one
// run after a warm-up run. Prints a table; exit status 2 when the phone or
// the port cannot be set up.
//
// Rows:
//   AT round trip     "AT\r" written until SendCommand returns (mean of N)
//   connect sequence  b_open from its first line to the memory confirmed
//   idle wait CPU     CPU ms per second that this process (window thread
//                     and serial worker) uses while a wait runs on a phone
//                     that does not answer: no busy waiting in either mode
//   receive 20        20 stored messages: listing start to the 20th .txt
//                     written and the phone empty
//   send 20           20 files in the watched directory: first watch turn to
//                     the 20th submit recorded by the phone
//   indication->txt   Indications=1, the cycle running on its 1 s timer: from
//                     the phone storing a message (and sending +CMTI) to its
//                     .txt file written (the file's time stamp), mean of 10
//                     deliveries spread over the tick's phase; "  max" the
//                     slowest of them (phone latency 0 only)
//   quiet turn CPU    CPU ms this process uses per quiet automatic reading
//                     turn (ATE0, an empty AT+CMGL, the journal lines) at a
//                     1 s polling interval, over 30 turns; 3.0 ms is 0.30 %
//                     of a core (phone latency 0 only)
// A row whose operation is not part of this build prints "n/a" with the
// reason; its measuring function is the place to add it.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Connection.h"
#include "Gateway.h"
#include "Receiving.h"
#include "Controls.h"
#include "FormState.h"
#include "MainWindow.h"
#include "MessageBox.h"
#include "PollingCycle.h"
#include "PhoneProcess.h"
#include "PollClock.h"
#include "SerialPort.h"
#include "Transaction.h"

namespace {

using pdulink::test::PhoneProcess;

// One gateway connected to one phone.
struct Session {
  std::unique_ptr<PhoneProcess> phone;
  std::unique_ptr<TForm1> form;
  std::string error;

  Session(int latencyMs, bool fast, const std::string& keys = "") {
    phone = std::make_unique<PhoneProcess>(std::vector<std::string>{"--latency", std::to_string(latencyMs)});
    if (!phone->Started()) {
      error = phone->Error();
      return;
    }
    const std::string ini = phone->Directory() + "/bench.ini";
    std::ofstream(ini, std::ios::binary) << "[Main]\r\n"
                                         << (fast ? "FastMode=1\r\n" : "") << keys << "[Ports]\r\nCOM1=" << phone->LinkPath()
                                         << "\r\n";
    StartupOptions options;
    options.configArg = ini;
    form = std::make_unique<TForm1>(options);
  }
  ~Session() {
    form.reset();  // the port closes before the phone goes
    phone.reset();
  }

  Transaction& dialogue() { return form->dialogue(); }

  // Connects and leaves the timer's slot empty, so no duty pass runs
  // between the measured commands.
  bool Connect() {
    form->connection().b_open();
    form->clock().PendingCommand = kNoCommand;
    return form->comport().Active() && form->connection().SmsMemory.size() > 0;
  }
};

using Measure = std::function<std::optional<double>(int latencyMs, bool fast, std::string& note)>;

double Ms(const QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e6; }

int gRoundTrips = 20;

std::optional<double> AtRoundTrip(int latencyMs, bool fast, std::string& note) {
  Session s(latencyMs, fast);
  if (!s.error.empty() || !s.Connect()) {
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  s.dialogue().SendCommand("AT\r");  // warm-up
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < gRoundTrips; ++i) {
    if (!s.dialogue().SendCommand("AT\r") || !s.dialogue().OkFlag) {
      note = "no OK to AT";
      return std::nullopt;
    }
  }
  return Ms(t) / gRoundTrips;
}

std::optional<double> ConnectSequence(int latencyMs, bool fast, std::string& note) {
  Session s(latencyMs, fast);
  if (!s.error.empty() || !s.Connect()) {  // the warm-up
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  QElapsedTimer t;
  t.start();
  if (!s.Connect()) {
    note = "could not connect again";
    return std::nullopt;
  }
  return Ms(t);
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

std::optional<double> IdleWaitCpu(int latencyMs, bool fast, std::string& note) {
  Session s(latencyMs, fast);
  if (!s.error.empty() || !s.Connect()) {
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  if (!PhoneProcess::Ok(s.phone->Control("fail +CGSN silent"))) {
    note = "phone refused the fault";
    return std::nullopt;
  }
  const int waitMs = 3000;
  QTimer::singleShot(waitMs, s.form.get(), [&s] { s.form->ui().b_abort->click(); });
  const double before = CpuMs();
  QElapsedTimer t;
  t.start();
  s.dialogue().SendCommand("AT+CGSN\r");
  return (CpuMs() - before) / (Ms(t) / 1000.0);
}

// Messages the phone holds in its memories.
int Stored(const PhoneProcess& phone) {
  std::istringstream in(phone.Control("dump stored"));
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.rfind("stored ", 0) == 0;
  return n;
}

int TxtFiles(const std::string& dir) {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) n += e.path().extension() == ".txt";
  return n;
}

// Stores count messages in the phone and runs one listing as automatic
// reading does (archive, then delete what was kept). Returns its ms, once
// every message has its .txt file and the phone is empty.
std::optional<double> ReceiveMessages(Session& s, const std::string& dir, int count, std::string& note) {
  const int before = TxtFiles(dir);
  for (int i = 0; i < count; ++i) {
    if (!PhoneProcess::Ok(s.phone->Control("deliver +4915112345678 \"Message number " + std::to_string(i) +
                                           " of the benchmark\""))) {
      note = "the phone refused a delivery";
      return std::nullopt;
    }
  }
  QElapsedTimer t;
  t.start();
  s.form->gateway().receiving().listSMS();
  const double ms = Ms(t);
  if (TxtFiles(dir) != before + count || Stored(*s.phone) != 0) {
    note = "not every message was archived and deleted";
    return std::nullopt;
  }
  return ms;
}

std::optional<double> Receive20(int latencyMs, bool fast, std::string& note) {
  Session s(latencyMs, fast);
  if (!s.error.empty() || !s.Connect()) {
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  const std::string dir = s.phone->Directory() + "/inbox";
  std::filesystem::create_directories(dir);
  Controls& ui = s.form->ui();
  ui.ed_LogDir->setText(QString::fromStdString(dir + "/"));
  // What a pass of automatic reading sets before it lists.
  ui.cb_autoread->setChecked(true);
  ui.cb_smstype->setCurrentIndex(0);
  ui.cb_deletesms->setChecked(true);
  if (!ReceiveMessages(s, dir, 1, note)) return std::nullopt;  // the warm-up
  return ReceiveMessages(s, dir, 20, note);
}

// Submits the phone has recorded.
int Submitted(const PhoneProcess& phone) {
  std::istringstream in(phone.Control("dump submitted"));
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.rfind("submitted ", 0) == 0;
  return n;
}

// Drops count files into dir and lets the polling cycle run (1 s ticks, a
// watch turn in every pass) until the phone has recorded them all. Returns
// the ms from the first watch turn that follows to the last submit, seen by
// asking the phone every few ms, also while a pass is waiting.
std::optional<double> SendFiles(Session& s, const std::string& dir, int first, int count, std::string& note) {
  for (int i = first; i < first + count; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/smss%03d.txt", i);
    std::ofstream(dir + name, std::ios::binary) << "+4915112345678 Message number " << i << " from the spool\r\n";
  }
  const int target = Submitted(*s.phone) + count;
  QElapsedTimer t;
  std::optional<double> done;
  auto turn = s.form->cycle().duties.WatchTurn;
  s.form->cycle().duties.WatchTurn = [&] {
    if (!t.isValid()) t.start();
    turn();
  };
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!done && t.isValid() && Submitted(*s.phone) >= target) done = Ms(t);
  });
  poll.start();
  s.form->clock().PendingCommand = kDutyPass;
  QElapsedTimer limit;
  limit.start();
  while (!done && limit.elapsed() < 180000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  // Let the pass that sent the last one finish its renames.
  if (s.form->clock().PendingCommand == kDutyPass) s.form->clock().PendingCommand = kNoCommand;
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  s.form->cycle().duties.WatchTurn = turn;
  if (!done) note = "the phone did not record every submit";
  return done;
}

std::optional<double> Send20(int latencyMs, bool fast, std::string& note) {
  Session s(latencyMs, fast);
  if (!s.error.empty() || !s.Connect()) {
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  const std::string dir = s.phone->Directory() + "/spool";
  std::filesystem::create_directories(dir);
  s.form->state().BaseDir = s.phone->Directory();
  s.form->ui().Ed_watchDir->setText(QString::fromStdString(dir + "/smss*.txt"));
  s.form->ui().Ed_watchInt->setText(QStringLiteral("1"));
  s.form->ui().cb_autosend->setChecked(true);
  if (s.form->state().WatchInterval != 1) {
    note = "watch interval not taken";
    return std::nullopt;
  }
  if (!SendFiles(s, dir, 0, 1, note)) return std::nullopt;  // the warm-up
  return SendFiles(s, dir, 1, 20, note);
}

// The newest .txt file's time stamp in ms since the epoch, 0 when none.
double NewestTxtMs(const std::string& dir) {
  double newest = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() != ".txt") continue;
    struct stat st {};
    if (::stat(e.path().c_str(), &st) != 0) continue;
    newest = std::max(newest, st.st_mtim.tv_sec * 1e3 + st.st_mtim.tv_nsec / 1e6);
  }
  return newest;
}

double WallMs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Runs the event loop (blocking in it, not spinning, so that the measured
// process is not this loop) until done() holds, looked at every pollMs, or
// limitMs pass. Returns done().
bool RunUntil(const std::function<bool()>& done, int limitMs, int pollMs = 2) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll, limit;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  QObject::connect(&limit, &QTimer::timeout, &loop, [&] { loop.quit(); });
  poll.start(pollMs);
  limit.setSingleShot(true);
  limit.start(limitMs);
  loop.exec();
  return done();
}

// The slowest delivery of the last indication run, by mode.
std::optional<double> gIndicationMax[2];

std::optional<double> IndicationToFile(int latencyMs, bool fast, std::string& note) {
  if (latencyMs != 0) return std::nullopt;
  Session s(0, fast, "Indications=1\r\n");
  if (!s.error.empty() || !s.Connect()) {
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  if (!s.form->connection().IndicationsOn) {
    note = "the phone took no indication setting";
    return std::nullopt;
  }
  const std::string dir = s.phone->Directory() + "/inbox";
  std::filesystem::create_directories(dir);
  Controls& ui = s.form->ui();
  ui.ed_LogDir->setText(QString::fromStdString(dir + "/"));
  ui.ed_polint->setText(QStringLiteral("3600"));  // the listing stays out of the way
  ui.cb_autoread->setChecked(true);
  s.form->clock().PendingCommand = kDutyPass;
  const int runs = 10;
  double sum = 0, worst = 0;
  for (int i = -1; i < runs; ++i) {  // the first one warms up
    // Spread the deliveries over the phase of the 1 s tick.
    RunUntil([] { return false; }, 1000 + (i + 1) * 1000 / runs, 100);
    const int before = TxtFiles(dir);
    const double stored = WallMs();
    if (!PhoneProcess::Ok(s.phone->Control("deliver +4915112345678 \"Indicated number " + std::to_string(i) + "\""))) {
      note = "the phone refused a delivery";
      return std::nullopt;
    }
    if (!RunUntil([&] { return TxtFiles(dir) != before; }, 20000)) {
      note = "an indicated message was not archived";
      return std::nullopt;
    }
    const double ms = NewestTxtMs(dir) - stored;
    if (i < 0) continue;
    sum += ms;
    worst = std::max(worst, ms);
  }
  gIndicationMax[fast] = worst;
  return sum / runs;
}

std::optional<double> IndicationMax(int latencyMs, bool fast, std::string&) {
  if (latencyMs != 0) return std::nullopt;
  return gIndicationMax[fast];
}

std::optional<double> QuietTurnCpu(int latencyMs, bool fast, std::string& note) {
  if (latencyMs != 0) return std::nullopt;
  Session s(0, fast);
  if (!s.error.empty() || !s.Connect()) {
    note = s.error.empty() ? "could not connect" : s.error;
    return std::nullopt;
  }
  const std::string dir = s.phone->Directory() + "/inbox";
  std::filesystem::create_directories(dir);
  Controls& ui = s.form->ui();
  ui.ed_LogDir->setText(QString::fromStdString(dir + "/"));
  ui.ed_polint->setText(QStringLiteral("1"));
  ui.cb_autoread->setChecked(true);
  // CPU and time at the start of turns 3 and 33 (the first ones warm up).
  const int warm = 3, turns = 30;
  int count = 0;
  double cpu0 = 0, cpu1 = 0;
  auto list = s.form->cycle().duties.listSMS;
  s.form->cycle().duties.listSMS = [&] {
    if (count == warm) cpu0 = CpuMs();
    if (count == warm + turns) cpu1 = CpuMs();
    ++count;
    list();
  };
  s.form->clock().PendingCommand = kDutyPass;
  RunUntil([&] { return count > warm + turns; }, 120000, 200);
  s.form->cycle().duties.listSMS = list;
  if (count <= warm + turns) {
    note = "the turns did not come every second";
    return std::nullopt;
  }
  return (cpu1 - cpu0) / turns;
}

std::string Cell(const std::optional<double>& v) {
  if (!v) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", *v);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) gRoundTrips = std::max(1, std::atoi(argv[1]));
  const std::string only = argc > 2 ? argv[2] : "";  // a row's name, to measure only that row
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SetMessageHandler([](const std::string&) {});

  struct Row {
    const char* name;
    Measure measure;
  };
  const Row rows[] = {
      {"AT round trip", AtRoundTrip},
      {"connect sequence", ConnectSequence},
      {"idle wait CPU", IdleWaitCpu},
      {"receive 20", Receive20},
      {"send 20", Send20},
      {"indication->txt", IndicationToFile},
      {"  max", IndicationMax},
      {"quiet turn CPU", QuietTurnCpu},
  };
  std::printf("pipeline against pdulink-phone on a pseudo-terminal, ms (AT round trip: mean of %d;\n"
              "idle wait CPU: CPU ms per s of a wait on a silent phone)\n",
              gRoundTrips);
  std::printf("%-18s %8s %10s %10s %12s\n", "row", "latency", "default", "fast", "default/fast");
  int status = 0;
  std::vector<std::string> notes;
  for (const Row& row : rows) {
    // "  max" belongs to the row above it.
    const bool maxRow = std::string(row.name) == "  max";
    if (!only.empty() && only != row.name && !(maxRow && only == "indication->txt")) continue;
    const bool atZeroOnly = std::string(row.name) == "indication->txt" || std::string(row.name) == "  max" ||
                            std::string(row.name) == "quiet turn CPU";
    for (int latency : {0, 100}) {
      if (atZeroOnly && latency != 0) continue;
      std::string note;
      std::optional<double> plain = row.measure(latency, false, note);
      std::optional<double> fast = row.measure(latency, true, note);
      std::string ratio = plain && fast && *fast > 0 ? Cell(*plain / *fast) + "x" : "";
      std::printf("%-18s %5d ms %10s %10s %12s\n", row.name, latency, Cell(plain).c_str(), Cell(fast).c_str(),
                  ratio.c_str());
      std::fflush(stdout);
      if (!note.empty()) {
        std::string line = std::string(row.name) + ": " + note;
        if (notes.empty() || notes.back() != line) notes.push_back(line);
        if (note.rfind("n/a", 0) != 0) status = 2;
      }
    }
  }
  for (const std::string& n : notes) std::printf("  %s\n", n.c_str());
  return status;
}
