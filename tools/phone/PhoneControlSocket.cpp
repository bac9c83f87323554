// The simulated phone's control socket: accepting clients, running their
// lines through the control interpreter, and the actions on the device that
// a command hands back (hang up the line, plug it in again, vanish).
#include "PhoneLoop.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pdulink::phone {
namespace {

constexpr std::size_t kMaxControlLine = 1 << 20;

}  // namespace

bool Phone::MakeControlSocket(std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (options_.control.size() >= sizeof addr.sun_path) {
    error = "control path too long (at most " + std::to_string(sizeof addr.sun_path - 1) + " bytes): " + options_.control;
    return false;
  }
  std::memcpy(addr.sun_path, options_.control.c_str(), options_.control.size() + 1);
  struct stat st{};
  if (lstat(options_.control.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = "refusing to replace " + options_.control + ": it exists and is not a socket";
      return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (alive) {
      error = "another process is listening on " + options_.control;
      return false;
    }
    unlink(options_.control.c_str());  // left over from a phone that was killed
  }
  listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_, 16) != 0) {
    error = "cannot listen on " + options_.control + ": " + std::strerror(errno);
    return false;
  }
  socketMade_ = true;
  return true;
}

void Phone::AcceptClient() {
  for (;;) {
    int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto c = std::make_unique<Client>();
    c->fd = fd;
    clients_.push_back(std::move(c));
  }
}

bool Phone::WriteClient(Client& client) {
  while (!client.out.empty()) {
    ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    client.out.erase(0, static_cast<std::size_t>(n));
  }
  return !client.closeAfterWrite;
}

void Phone::HangUpLine() {
  if (master_ < 0) return;
  transcript_.Write("--", "line hung up: device closed");
  ClosePty();
  if (linkMade_) {
    unlink(options_.link.c_str());
    linkMade_ = false;
  }
}

void Phone::Replug() {
  if (master_ >= 0) return;
  std::string error;
  if (!OpenPty(error) || (!options_.link.empty() && !MakeLink(error))) {
    std::fprintf(stderr, "pdulink-phone: replug: %s\n", error.c_str());
  } else {
    transcript_.Write("--", "device plugged in again as " + slaveName_);
  }
}

bool Phone::RunControlLine(Client& client, const std::string& line) {
  transcript_.Write("##", line);
  ControlActions actions;
  std::string reply = control_.Execute(line, actions);
  client.out += reply;
  if (reply.rfind("ERROR", 0) == 0 || reply.find("\nERROR") != std::string::npos)
    transcript_.Write("##", reply.substr(0, reply.size() - 1));
  if (actions.hangupLine) HangUpLine();
  if (actions.replug) Replug();
  if (actions.vanish) {
    WriteClient(client);
    transcript_.Write("--", "vanished");
    stop_ = true;
    return false;
  }
  return true;
}

bool Phone::ServeClient(Client& client) {
  char buf[4096];
  ssize_t n = recv(client.fd, buf, sizeof buf, 0);
  if (n == 0) return !client.out.empty() && WriteClient(client);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  client.in.append(buf, static_cast<std::size_t>(n));
  std::size_t eol;
  while ((eol = client.in.find('\n')) != std::string::npos) {
    std::string line = client.in.substr(0, eol);
    client.in.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!RunControlLine(client, line)) return true;  // vanished
  }
  if (client.in.size() > kMaxControlLine) {
    client.out += "ERROR line too long\n";
    client.closeAfterWrite = true;
    client.in.clear();
  }
  return WriteClient(client);
}

}  // namespace pdulink::phone
