// The simulated phone's process: one thread, one poll() loop over the pty
// master (the "serial line"), the control socket and its clients, and a
// signalfd for SIGTERM/SIGINT, with timers for delayed or chunked replies
// and for RING. PhoneLoop.cpp starts, runs and cleans up; PhoneLine.cpp is
// the device side; PhoneControlSocket.cpp the control clients.
#pragma once

#include "Control.h"
#include "Modem.h"
#include "PhoneOptions.h"
#include "Transcript.h"

#include <poll.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink::phone {

inline constexpr Millis kClosedProbeMs = 50;  // how often a closed device is checked for a new opener

Millis Now();

// One burst waiting to be written to the host.
struct Pending {
  Millis due;
  std::string bytes;
};

struct Client {
  int fd = -1;
  std::string in, out;
  bool closeAfterWrite = false;
};

class Phone {
 public:
  explicit Phone(const Options& options)
      : options_(options), modem_([this](OutputKind kind, std::string text) { Queue(kind, std::move(text)); }),
        control_(modem_, Now) {
    modem_.clock = Now;
  }

  ~Phone() { Cleanup(); }

  bool Start(std::string& error);
  int Run();

 private:
  // The poll set of one turn of Run, and where each kind sits in it.
  struct PollSet {
    std::vector<pollfd> fds;
    int masterSlot = -1, listenSlot = -1;
    std::size_t firstClient = 0;
  };

  bool ApplyOptions(std::string& error);
  // A start-up option that is a control command ("memories SM,ME"); its
  // error, if any, becomes the option's.
  bool ApplyAsControl(const std::string& option, const std::string& command, std::string& error);
  bool BlockStopSignals(std::string& error);
  void ProbeClosedDevice(Millis now);
  Millis NextWake() const;
  PollSet BuildPollSet(Millis now) const;
  void HandleSignal();
  void HandleHost(short revents);
  void HandleClients(const PollSet& set);
  bool OpenPty(std::string& error);
  void ClosePty();
  bool MakeLink(std::string& error);
  bool MakeControlSocket(std::string& error);
  void Queue(OutputKind kind, std::string text);
  void FlushDue(Millis now);
  void ReadHost();
  void HostGone(const char* why);
  void LogReceived(std::string_view bytes);
  void FlushReceivedLog();
  void AcceptClient();
  bool ServeClient(Client& client);  // false: close it
  bool RunControlLine(Client& client, const std::string& line);  // false: vanish
  void HangUpLine();
  void Replug();
  bool WriteClient(Client& client);
  void Cleanup();

  Options options_;
  Modem modem_;
  Control control_;
  Transcript transcript_;

  int master_ = -1;
  std::string slaveName_;
  bool hostOpen_ = false;
  Millis nextProbe_ = 0;
  std::deque<Pending> output_;
  OutputKind lastKind_ = OutputKind::Reply;
  std::string rxLog_;

  int listen_ = -1;
  int signalFd_ = -1;
  std::vector<std::unique_ptr<Client>> clients_;
  bool stop_ = false;
  bool linkMade_ = false, socketMade_ = false;
};

}  // namespace pdulink::phone
