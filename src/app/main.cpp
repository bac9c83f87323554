// pdulink: an SMS gateway for a GSM phone on a serial port.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "AnsiText.h"
#include "Console.h"
#include "MainWindow.h"
#include "MessageBox.h"
#include "Receiving.h"
#include "archive_files.h"
#include "PollClock.h"
#include "PollingCycle.h"
#include "ServiceNotify.h"
#include "Transaction.h"
#include "codepage.h"
#include "gsm_alphabet.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  // Only async-signal-safe work here; the event loop does the rest.
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

// SIGTERM and SIGINT act like the Exit button from the program's first step
// on: a stop that comes while start-up still runs waits in the pipe until
// the event loop takes it, so it ends the program like a later one. A stop
// that a launcher held back (blocked, pending) is taken now as well.
bool CatchStopSignals() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  return true;
}

// The command line, its options and the headless commands.
constexpr const char* kHelpUsage =
    "Usage: pdulink [--headless] [CONFIG]\n"
    "       pdulink --help | --version\n"
    "SMS gateway for a GSM phone or modem on a serial port (AT commands, PDU mode):\n"
    "reads, archives and deletes the messages stored in the phone, and sends the\n"
    "files dropped into a watched directory.\n"
    "\n"
    "CONFIG is the configuration file; default: pdulink.ini in the working directory.\n"
    "\n"
    "Options:\n"
    "  --headless    run without a window (no display needed; also chosen when\n"
    "                there is none): the journal goes to standard output, message\n"
    "                boxes to standard error, and lines on standard input act as\n"
    "                the buttons (see below)\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Headless commands (one per line on standard input):\n"
    "  /connect            connect to the phone\n"
    "  /disconnect         disconnect\n"
    "  /abort              abort the command that waits for a reply\n"
    "  /exit, /quit        disconnect and end the program\n"
    "  /list [TYPE]        list stored messages; TYPE 0 received unread, 1 received\n"
    "                      read, 2 stored unsent, 3 stored sent, 4 all\n"
    "  /delete N[,M...]    delete the messages with these storage numbers\n"
    "  /send NUMBER TEXT   send one message\n"
    "  /status             port, connection, SIM and network, signal, counters\n"
    "  /help               list these commands\n"
    "  any other line      sent to the phone as an AT command\n"
    "\n";

// The configuration keys.
constexpr const char* kHelpKeys =
    "Configuration keys, section [Main] (flags are 1 or 0; default in brackets):\n"
    "  ComPort=1..10            serial port COM1..COM10 [1]\n"
    "  BaudRate=N               9600, 19200, 38400, 57600 or 115200 [19200]\n"
    "  DTR=, RTS=               raise the DTR / RTS line [0]\n"
    "  AutoConnect=             connect at start [0]; AutoRead, AutoSend and\n"
    "                           OffLineMode need it\n"
    "  AutoRead=                read, archive and delete new messages [0]\n"
    "  PollingInt=SECONDS       interval of AutoRead [10]\n"
    "  LogDir=DIR               archive of received messages [working directory]\n"
    "  DOSCodepage=             one archive line in code page 866 [0]\n"
    "  Append2FileSMSIN=        also append each message to PDULINKL.TXT [0]\n"
    "  AutoSend=                send the files of the watched directory [0]\n"
    "  WatchInt=SECONDS         interval of AutoSend [20]\n"
    "  WatchDir=DIR/TEMPLATE    watched files [smss*.txt]\n"
    "  DetectSendOptions=       send options #flash#, #smscNUMBER#, #vpN# [0]\n"
    "  OffLineMode=             open the port only for one pass at a time [0]\n"
    "  BatteryCheck=            check the battery every half hour [1]\n"
    "  SoundMode=               silent mode (AT+CALM=1) at connect [0]\n"
    "  InCalls=                 reject incoming calls [0]\n"
    "  SaveCalls=               record rejected calls as messages [0]\n"
    "  SimCheck=                ask SIM state and network at connect [0]\n"
    "  Pin=DIGITS               SIM PIN, 4 to 8 digits, given when asked [none]\n"
    "  SignalInt=SECONDS        signal quality into the journal, 0 off [0]\n"
    "  FastMode=                complete replies and send batches sooner [0]\n"
    "  LongSms=                 send long texts as concatenated parts [0]\n"
    "  MaxParts=N               at most N parts, 1..255; longer is refused [6]\n"
    "  LongSmsRef16=            16-bit concatenation reference [0]\n"
    "  JoinParts=               also archive received parts joined [0]\n"
    "  JoinTimeout=HOURS        join an incomplete message after HOURS [24]\n"
    "  Utf8Files=               UTF-8 files and texts, every character sent [0]\n"
    "  ShiftTables=LIST         with Utf8Files=1: national language tables (tr,es,\n"
    "                           pt,bn,gu,hi,kn,ml,or,pa,ta,te,ur) a text may go\n"
    "                           with when that needs fewer parts [none]\n"
    "  MatchReports=            request a status report for every message sent and\n"
    "                           match the reports to the files sent (.dlv/.und) [0]\n"
    "  OnReceived=PROGRAM       run PROGRAM for each message archived; arguments:\n"
    "                           its .txt and .xml files [none]\n"
    "  OnSent=, OnFailed=       run PROGRAM for each file renamed .snd / .err\n"
    "                           (argument: its new path) and each message sent by\n"
    "                           hand (no argument) [none]\n"
    "  OnCall=PROGRAM           run PROGRAM for each call rejected; arguments: the\n"
    "                           call's .txt and .xml files when it was saved [none]\n"
    "  OnReport=PROGRAM         run PROGRAM for each status report matched to a\n"
    "                           sent file; arguments: report file, sent file [none]\n"
    "  OnAlarm=PROGRAM          run PROGRAM for each alarm; arguments: the alarm's\n"
    "                           name (store, store-ok, store-full) and value [none]\n"
    "  StoreAlarm=PERCENT       before each listing read the store's use (AT+CPMS?);\n"
    "                           journal reaching PERCENT, falling below, full [0]\n"
    "  ReplyTimeout=SECONDS     wait for a reply this long; the systemd watchdog\n"
    "                           stops when commands go unanswered this long [180]\n"
    "  HookTimeout=SECONDS      end a hook's process group after SECONDS [30]\n"
    "                           Hooks run without a shell, in the background, at\n"
    "                           most 4 at once, with PDULINK_EVENT, PDULINK_NUMBER,\n"
    "                           PDULINK_FILE, PDULINK_TEXT, PDULINK_REFERENCE set\n"
    "  Indications=             read new messages when the phone indicates them [0]\n"
    "  Spool=sqlite:PATH        also keep received messages in a database and send\n"
    "  Spool=postgresql://...   its outbox (libpq URI; password only from passfile=\n"
    "                           or PGPASSFILE, never in the URI); without WatchDir\n"
    "                           it replaces the watched directory [none]\n"
    "  GatewayName=NAME         this gateway's name in the spool [configuration\n"
    "                           file's name without extension]\n"
    "  q_mode=                  lock the window's settings [0]\n"
    "Section [Ports]: COMn=DEVICE maps a port name to a device, e.g.\n"
    "  COM1=/dev/ttyUSB0; an unmapped COMn opens /dev/ttyS(n-1).\n"
    "Files named without a directory (sms_vp.ini, smsLowBat.f, sent .snd and\n"
    "failed .err files) live in the working directory.\n";

// Signals, exit status and where to read more.
constexpr const char* kHelpClosing =
    "\n"
    "Signals: SIGTERM and SIGINT act as the Exit button.\n"
    "\n"
    "Exit status: 0 ended by Exit (button, /exit, SIGTERM, SIGINT) or --help,\n"
    "--version shown; 2 unknown option; 78 (headless) configuration file missing,\n"
    "unreadable or with a value out of range (named on standard error).\n"
    "\n"
    "See pdulink(1) and the example configuration in /usr/share/doc/pdulink/.\n";

void PrintHelp() {
  std::fputs(kHelpUsage, stdout);
  std::fputs(kHelpKeys, stdout);
  std::fputs(kHelpClosing, stdout);
}

// Qt's own diagnostics are shown when PDULINK_QT_DEBUG=1 or QT_LOGGING_RULES
// asks for them.
bool QtDiagnosticsWanted() {
  const char* debug = std::getenv("PDULINK_QT_DEBUG");
  const char* rules = std::getenv("QT_LOGGING_RULES");
  return (debug && *debug && std::strcmp(debug, "0") != 0) || (rules && *rules);
}

bool HasDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return true;  // the user chose a platform
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// One gateway per directory of state files: the working directory (the
// in-flight, receiving and sent records) and, with JoinParts, the log
// directory (the join state). The lock is on the directory itself and lasts
// as long as the process. Empty when held; otherwise the line that refuses.
std::string HoldDirectories(TForm1& window, pdulink::DirectoryLock& state, pdulink::DirectoryLock& logs) {
  const std::string& base = window.state().BaseDir;
  const std::string work = base.empty() ? QDir::currentPath().toLocal8Bit().toStdString() : base;
  if (state.Hold(work) == pdulink::DirectoryLock::Result::Taken)
    return "Another pdulink gateway works in " + LocalToAnsi(work) + ": this one does not start";
  if (!window.state().LongMessages.joinParts) return {};
  const std::string logDir = window.gateway().receiving().LogDirPath();
  if (state.Holds(logDir)) return {};
  if (logs.Hold(logDir) == pdulink::DirectoryLock::Result::Taken)
    return "Another pdulink gateway joins long messages in " + LocalToAnsi(logDir) + ": this one does not start";
  return {};
}

constexpr int kGoOn = -1;

// The options of the command line into `options`: kGoOn, or the exit
// status of --help, --version or an unknown option.
int ReadArguments(int argc, char* argv[], StartupOptions& options) {
  options.executablePath = argv[0];
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      PrintHelp();
      return 0;
    }
    if (std::strcmp(a, "--version") == 0) {
      std::printf("pdulink %s\n", PDULINK_VERSION_TEXT);
      return 0;
    }
    if (std::strcmp(a, "--headless") == 0) {
      options.headless = true;
    } else if (a[0] == '-' && a[1] == '-') {
      std::fprintf(stderr, "pdulink: unknown option %s (see --help)\n", a);
      return 2;
    } else if (!options.configArg) {
      options.configArg = std::string(a);
    }
  }
  return kGoOn;
}

// Headless when asked or when there is no display; then on Qt's offscreen
// platform, with Qt's own diagnostics silenced.
void ChooseHeadless(StartupOptions& options) {
  if (!options.headless && !HasDisplay()) {
    std::fprintf(stderr, "pdulink: no display found, running headless\n");
    options.headless = true;
  }
  if (options.headless) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  if (options.headless && !QtDiagnosticsWanted()) {
    // Headless, standard error carries the message boxes only: Qt's own
    // warnings (a missing XDG_RUNTIME_DIR under a service manager, fonts of
    // the offscreen platform) stay out unless asked for.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::abort();
      }
    });
  }
}

// Headless, message boxes go to standard error and the journal to standard
// output.
void HeadlessOutput(StartupOptions& options) {
  if (!options.headless) return;
  SetMessageHandler([](const std::string& text) {
    std::fprintf(stderr, "%s\n", pdulink::AnsiToUtf8(text).c_str());
    std::fflush(stderr);
  });
  options.journalMirror = [](const std::string& utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };
}

// The stop signals caught since the start reach the event loop through the
// pipe; one that came earlier is read as soon as the loop runs.
struct StopRelay {
  TForm1* target = nullptr;
  bool exitRequested = false;  // a signal that came before the window was ready
  std::unique_ptr<QSocketNotifier> notifier;

  void Listen(QApplication& app) {
    notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &app, [this] {
      char buf[16];
      [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], buf, sizeof buf);
      if (target) {
        target->b_exitClick();
        return;
      }
      // Start-up is still running, held by its message box ("INI file not
      // exist:"): the program is asked to end, so the box goes, and Exit
      // follows as soon as the window exists.
      exitRequested = true;
      if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) box->reject();
    });
  }
};

// Under systemd (Type=notify): ready now that the configuration is read and
// the cycle runs; then status and watchdog from every tick.
void NotifyService(ServiceNotify& notify, TForm1& window, const std::unique_ptr<Console>& console) {
  if (!notify.Active()) return;
  auto status = [&window, &console] {
    return ServiceStatusLine(GatherStatus(window.gateway(), console ? console->SendQueueLength() : 0));
  };
  window.cycle().Heartbeat = [&window, &notify, status] {
    if (window.clock().PendingCommand == kExit) notify.Stopping();
    notify.Tick(!window.dialogue().Stuck(), status());
  };
  notify.Ready(status());
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool stopsCaught = CatchStopSignals();
  StartupOptions options;
  if (const int status = ReadArguments(argc, argv, options); status != kGoOn) return status;
  ChooseHeadless(options);

  pdulink::BuildGsmTables();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pdulink"));
  QApplication::setApplicationVersion(QStringLiteral(PDULINK_VERSION_TEXT));
  // The tray keeps the program reachable while its window is hidden.
  QApplication::setQuitOnLastWindowClosed(false);
  HeadlessOutput(options);
  // A reader of the mirrored journal that goes away must not end the gateway.
  std::signal(SIGPIPE, SIG_IGN);
  StopRelay stops;
  if (stopsCaught) stops.Listen(app);

  TForm1 window(options);
  if (window.gateway().ConfigFailed()) return Gateway::kExitConfig;
  stops.target = &window;
  pdulink::DirectoryLock stateLock, logLock;
  if (const std::string refused = HoldDirectories(window, stateLock, logLock); !refused.empty()) {
    window.WriteLog(refused);
    if (!options.headless) std::fprintf(stderr, "pdulink: %s\n", pdulink::AnsiToUtf8(refused).c_str());
    return 3;
  }
  if (stops.exitRequested) window.b_exitClick();
  // Headless, standard input stands in for the buttons (see --help).
  std::unique_ptr<Console> console;
  if (options.headless) console = std::make_unique<Console>(window, 0);
  if (!options.headless) window.show();
  ServiceNotify notify;
  NotifyService(notify, window, console);
  const int rc = app.exec();
  notify.Stopping();
  return rc;
}
