#pragma once
// A whole gateway (the real window on Qt's offscreen platform) connected to
// the simulated phone over a pseudo-terminal. The timer ticks every 100 ms
// instead of every second so that cadences and waits pass quickly; the
// tick logic is the same.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "MainWindow.h"
#include "MessageBox.h"
#include "PhoneProcess.h"
#include "PollingCycle.h"
#include "SerialPort.h"
#include "Transaction.h"

class GatewayTest : public ::testing::Test {
 protected:
  void TearDown() override {
    form.reset();
    SetMessageHandler(nullptr);
  }

  // Starts the phone with extra arguments and the gateway with extra [Main]
  // keys; Exit closes nothing but records that it would.
  void Start(const std::string& mainKeys = "", std::vector<std::string> phoneArgs = {}) {
    phone = std::make_unique<pdulink::test::PhoneProcess>(std::move(phoneArgs));
    ASSERT_TRUE(phone->Started()) << phone->Error();
    SetMessageHandler([this](const std::string& text) { messages.push_back(text); });
    std::string ini = phone->Directory() + "/gateway.ini";
    std::ofstream(ini, std::ios::binary) << "[Main]\r\n" << mainKeys << "[Ports]\r\nCOM1=" << phone->LinkPath()
                                         << "\r\n";
    StartupOptions options;
    options.configArg = ini;
    form = std::make_unique<TForm1>(options);
    // Files the gateway keeps in its working directory go beside the
    // phone's, not into the directory shared by every test.
    form->state().BaseDir = phone->Directory();
    form->timer1()->setInterval(100);
    form->cycle().ExitPause = [] {};
    form->cycle().CloseWindow = [this] { windowClosed = true; };
  }

  // Lets the window work until pred holds or the deadline passes.
  bool RunUntil(const std::function<bool()>& pred, int seconds = 20) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(5);
    }
    return true;
  }

  std::string Journal() const { return form->ui().Memo2->toPlainText().toStdString(); }
  bool JournalHas(const std::string& text) const { return Journal().find(text) != std::string::npos; }
  size_t JournalCount(const std::string& text) const {
    std::string j = Journal();
    size_t n = 0;
    for (size_t at = j.find(text); at != std::string::npos; at = j.find(text, at + 1)) ++n;
    return n;
  }
  // Commands the phone received, in order, as the transcript shows them.
  std::vector<std::string> Received() const {
    std::vector<std::string> out;
    std::string t = phone->Transcript();
    size_t at = 0;
    while ((at = t.find(" <- ", at)) != std::string::npos) {
      size_t end = t.find('\n', at);
      out.push_back(t.substr(at + 4, end - at - 4));
      at = end;
    }
    return out;
  }
  // Commands the phone received that start with prefix.
  std::vector<std::string> Sent(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& line : Received())
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }

  // Connects through the Connect button and waits for the duty passes.
  void Connect() {
    form->ui().sb_connect->click();
    ASSERT_TRUE(RunUntil([this] { return JournalHas("SMS Memory Select:"); })) << Journal();
    ASSERT_TRUE(RunUntil([this] { return form->clock().PendingCommand == kDutyPass || !form->comport().Active(); }));
  }

  // Makes waits count ticks by themselves: each 50 ms pause becomes one tick.
  void FastTicks() {
    form->timer1()->stop();
    form->dialogue().Pause = [this] {
      QThread::msleep(2);
      form->cycle().timer1Timer();
    };
  }

  std::unique_ptr<pdulink::test::PhoneProcess> phone;
  std::unique_ptr<TForm1> form;
  std::vector<std::string> messages;
  bool windowClosed = false;
};
