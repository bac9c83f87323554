// pdulink: an SMS gateway for a GSM phone on a serial port.
#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "AnsiText.h"
#include "Console.h"
#include "MainWindow.h"
#include "MessageBox.h"
#include "codepage.h"
#include "gsm_alphabet.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  char c = 1;
  // Only async-signal-safe work here; the event loop does the rest.
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

void PrintHelp() {
  std::printf(
      "Usage: pdulink [options] [CONFIG]\n"
      "SMS gateway for a GSM phone or modem on a serial port (AT commands, PDU mode).\n"
      "\n"
      "CONFIG is the configuration file; default: pdulink.ini in the working directory.\n"
      "\n"
      "Options:\n"
      "  --headless   run without a window (no display needed); the journal goes to\n"
      "               standard output, message boxes to standard error; SIGTERM and\n"
      "               SIGINT end the program like the Exit button. Lines on standard\n"
      "               input act as the buttons: /connect, /disconnect, /abort, /exit;\n"
      "               any other line is an AT command sent to the phone\n"
      "  --help       show this help and exit\n"
      "  --version    show the version and exit\n"
      "\n"
      "Port names COM1..COM10 open /dev/ttyS0../dev/ttyS9 unless the configuration maps\n"
      "them in a [Ports] section, e.g.  [Ports]  COM1=/dev/ttyUSB0\n");
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

}  // namespace

int main(int argc, char* argv[]) {
  StartupOptions options;
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

  pdulink::BuildGsmTables();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pdulink"));
  QApplication::setApplicationVersion(QStringLiteral(PDULINK_VERSION_TEXT));
  // The tray keeps the program reachable while its window is hidden.
  QApplication::setQuitOnLastWindowClosed(false);

  if (options.headless) {
    SetMessageHandler([](const std::string& text) {
      std::fprintf(stderr, "%s\n", pdulink::AnsiToUtf8(text).c_str());
      std::fflush(stderr);
    });
  }

  if (options.headless) {
    options.journalMirror = [](const std::string& utf8) {
      std::fwrite(utf8.data(), 1, utf8.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    };
  }
  // A reader of the mirrored journal that goes away must not end the gateway.
  std::signal(SIGPIPE, SIG_IGN);
  // SIGTERM and SIGINT act like the Exit button. The handlers are in place
  // before the window starts; a signal that comes earlier waits in the pipe
  // until the event loop runs.
  TForm1* target = nullptr;
  bool exitRequested = false;  // a signal that came before the window was ready
  std::unique_ptr<QSocketNotifier> notifier;
  if (::pipe(g_signalPipe) == 0) {
    notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &app, [&target, &exitRequested] {
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
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
  }

  TForm1 window(options);
  target = &window;
  if (exitRequested) window.b_exitClick();
  // Headless, standard input stands in for the buttons (see --help).
  std::unique_ptr<Console> console;
  if (options.headless) console = std::make_unique<Console>(window, 0);
  if (!options.headless) window.show();
  return app.exec();
}
