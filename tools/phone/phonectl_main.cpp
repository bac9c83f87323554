// pdulink-phonectl: sends commands to a running pdulink-phone over its
// control socket and prints the replies.
//
//   pdulink-phonectl /tmp/phone0.ctl deliver +4915112345678 "Hello there"
//   pdulink-phonectl --control /tmp/phone0.ctl dump
//   echo ring +4930123 | pdulink-phonectl /tmp/phone0.ctl
//
// Information lines go to standard output, an "ERROR ..." reply to standard
// error. Exit status: 0 all commands succeeded, 1 a command failed, 2 the
// phone could not be reached or the usage was wrong.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr int kReplyTimeoutMs = 10000;

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: pdulink-phonectl [--control] SOCKET [COMMAND...]\n"
               "Sends COMMAND (its words joined by blanks) to the pdulink-phone listening on SOCKET\n"
               "and prints the reply. Without COMMAND, sends each line of standard input.\n"
               "Run 'pdulink-phonectl SOCKET help' for the phone's commands.\n");
}

class Connection {
 public:
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
      error = "socket path too long: " + path;
      return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      error = "cannot connect to " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  // Sends one command and collects the reply up to its "OK"/"ERROR" line.
  bool Exchange(const std::string& command, std::string& reply, std::string& error) {
    std::string line = command + "\n";
    for (std::size_t at = 0; at < line.size();) {
      ssize_t n = send(fd_, line.data() + at, line.size() - at, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = std::string("send: ") + std::strerror(errno);
        return false;
      }
      at += static_cast<std::size_t>(n);
    }
    reply.clear();
    for (;;) {
      std::size_t eol;
      while ((eol = buffer_.find('\n')) != std::string::npos) {
        std::string l = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        reply += l + "\n";
        if (l == "OK" || l.rfind("ERROR", 0) == 0) return true;
      }
      pollfd p{fd_, POLLIN, 0};
      int r = poll(&p, 1, kReplyTimeoutMs);
      if (r == 0) {
        error = "no reply from the phone";
        return false;
      }
      char buf[4096];
      ssize_t n = r < 0 ? -1 : recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "the phone closed the connection";
        return false;
      }
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// Prints a reply; returns whether it ended with OK.
bool Print(const std::string& reply) {
  std::size_t last = reply.rfind('\n', reply.size() - 2);
  std::string body = last == std::string::npos ? "" : reply.substr(0, last + 1);
  std::string final = reply.substr(last == std::string::npos ? 0 : last + 1);
  std::fputs(body.c_str(), stdout);
  if (final.rfind("ERROR", 0) == 0) {
    std::fflush(stdout);
    std::fputs(final.c_str(), stderr);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i < argc && (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (i < argc && std::strcmp(argv[i], "--version") == 0) {
    std::printf("pdulink-phonectl %s\n", PDULINK_VERSION_TEXT);
    return 0;
  }
  if (i < argc && std::strcmp(argv[i], "--control") == 0) ++i;
  if (i >= argc) {
    Usage(stderr);
    return 2;
  }
  std::string path = argv[i++];
  Connection connection;
  std::string error;
  if (!connection.Open(path, error)) {
    std::fprintf(stderr, "pdulink-phonectl: %s\n", error.c_str());
    return 2;
  }
  auto run = [&](const std::string& command) -> int {
    std::string reply;
    if (!connection.Exchange(command, reply, error)) {
      std::fprintf(stderr, "pdulink-phonectl: %s\n", error.c_str());
      return 2;
    }
    return Print(reply) ? 0 : 1;
  };
  if (i < argc) {
    std::string command;
    for (; i < argc; ++i) {
      if (!command.empty()) command += ' ';
      // The channel is line based: line breaks inside a word travel as escapes.
      for (const char* p = argv[i]; *p; ++p) {
        if (*p == '\n') command += "\\n";
        else if (*p == '\r') command += "\\r";
        else command += *p;
      }
    }
    return run(command);
  }
  int status = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    int r = run(line);
    if (r == 2) return 2;
    if (r != 0) status = 1;
  }
  return status;
}
