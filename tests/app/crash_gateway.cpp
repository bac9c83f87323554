// The headless gateway for the crash runs: the program's headless start
// (journal on standard output, message boxes on standard error, standard
// input as the buttons) with a quicker tick, so that a run of many restarts
// stays short. Usage: pdulink_crash_gateway TICK_MS CONFIG
// Crash points: crash_points.cpp.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "AnsiText.h"
#include "Console.h"
#include "MainWindow.h"
#include "MessageBox.h"
#include "codepage.h"
#include "gsm_alphabet.h"

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s TICK_MS CONFIG\n", argv[0]);
    return 2;
  }
  const int tickMs = std::atoi(argv[1]);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtFatalMsg) {
      std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
      std::abort();
    }
  });
  pdulink::BuildGsmTables();
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  SetMessageHandler([](const std::string& text) {
    std::fprintf(stderr, "%s\n", pdulink::AnsiToUtf8(text).c_str());
    std::fflush(stderr);
  });
  StartupOptions options;
  options.executablePath = argv[0];
  options.headless = true;
  options.configArg = std::string(argv[2]);
  options.journalMirror = [](const std::string& utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };
  TForm1 window(options);
  if (tickMs > 0) window.timer1()->setInterval(tickMs);
  Console console(window, 0);
  return app.exec();
}
