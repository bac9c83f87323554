#pragma once
// pdulink-web for a test: a SQLite spool in a private directory (or the
// spool URI given), keys made with --add-key, the server on a free loopback
// port; and a minimal HTTP/1.1 client (one request per connection).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace pdulink::test {

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// Writes all of `data` unless the peer goes away.
inline void SendAll(int fd, const std::string& data) {
  for (size_t off = 0; off < data.size();) {
    const ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

inline HttpResponse Http(int port, const std::string& method, const std::string& path, const std::string& body = "",
                         const std::vector<std::string>& headers = {}) {
  HttpResponse r;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) ::close(fd);
    return r;
  }
  timeval tv{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const std::string& h : headers) req += h + "\r\n";
  if (!body.empty() || method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  SendAll(fd, req);
  std::string raw;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    // Stop at Content-Length: the server may keep the connection open.
    std::string head = raw.substr(0, end);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t cl = head.find("content-length:");
    if (cl != std::string::npos && raw.size() - end - 4 >= std::stoul(head.substr(cl + 15))) break;
  }
  ::close(fd);
  const size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos || raw.size() < 12) return r;
  r.status = std::stoi(raw.substr(9, 3));
  size_t pos = raw.find("\r\n") + 2;
  while (pos < end) {
    const size_t eol = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, eol - pos);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
      r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    pos = eol + 2;
  }
  r.body = raw.substr(end + 4);
  return r;
}

// The program under test; PDULINK_WEB_BIN in the environment runs another
// build of it (a benchmark's "before" figures).
inline std::string WebBinary() {
  const char* other = std::getenv("PDULINK_WEB_BIN");
  return other && *other ? other : PDULINK_WEB_BIN;
}

class WebProcess {
 public:
  // spool: empty for a new SQLite file in the private directory.
  explicit WebProcess(std::string spool = "", std::vector<std::string> options = {})
      : spool_(spool.empty() ? "sqlite:" + dir_.Path() + "/spool.db" : std::move(spool)), options_(std::move(options)) {}

  const std::string& Spool() const { return spool_; }
  const std::string& Directory() const { return dir_.Path(); }

  // Runs the program once with these arguments after --spool; its exit
  // status, standard output and error.
  int Run(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::vector<std::string> argv = {WebBinary(), "--spool", spool_};
    argv.insert(argv.end(), args.begin(), args.end());
    Child c(argv, dir_.Path());
    const int status = c.Wait(60);
    if (out) *out = c.outText;
    if (err) *err = c.errText;
    return status;
  }
  std::string AddKey(const std::string& name) {
    std::string out;
    if (Run({"--add-key", name}, &out) != 0) return "";
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }

  // Variables ("NAME=value") the server is started with.
  void SetEnvironment(std::vector<std::string> env) { env_ = std::move(env); }

  bool Start() {
    std::vector<std::string> argv = {WebBinary(), "--spool", spool_, "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), options_.begin(), options_.end());
    server_ = std::make_unique<Child>(argv, dir_.Path(), env_);
    if (!server_->WaitFor("/ (spool", 30)) return false;
    const std::string& t = server_->outText;
    const size_t at = t.find("127.0.0.1:");
    port_ = std::stoi(t.substr(at + 10));
    return port_ > 0;
  }
  int Port() const { return port_; }
  // Ends the server as its service manager would (SIGTERM); its exit status.
  int Stop() {
    if (!server_ || server_->pid <= 0) return -1;
    ::kill(server_->pid, SIGTERM);
    const int status = server_->Wait(30);
    return status;
  }
  // What the server wrote to standard error so far.
  std::string Log() {
    if (server_) server_->Pump(50);
    return server_ ? server_->errText : std::string();
  }
  Child* Server() { return server_.get(); }

  HttpResponse Get(const std::string& path, const std::string& key = "") {
    return Http(port_, "GET", path, "", key.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Authorization: Bearer " + key});
  }
  HttpResponse Post(const std::string& path, const std::string& body, const std::string& key,
                    std::vector<std::string> headers = {}) {
    headers.push_back("Authorization: Bearer " + key);
    headers.push_back("Content-Type: application/json");
    return Http(port_, "POST", path, body, headers);
  }

 private:
  TempDir dir_{"pdulink-web"};
  std::string spool_;
  std::vector<std::string> options_;
  std::vector<std::string> env_;
  std::unique_ptr<Child> server_;
  int port_ = 0;
};

// A headless gateway named modem1 on the simulated phone's link, over the
// server's spool: sending from the outbox, receiving into the inbox (files
// under gw/in/ in the server's directory). Null when it cannot be set up.
inline std::unique_ptr<Child> StartGateway(const std::string& binary, WebProcess& web, const std::string& link) {
  const std::string dir = web.Directory() + "/gw";
  if (::mkdir(dir.c_str(), 0700) != 0 || ::mkdir((dir + "/in").c_str(), 0700) != 0) return nullptr;
  std::ofstream(dir + "/gw.ini") << "[Main]\nComPort=1\nBaudRate=115200\nAutoConnect=1\nAutoRead=1\nAutoSend=1\n"
                                    "PollingInt=1\nWatchInt=1\nFastMode=1\nUtf8Files=1\nLogDir="
                                 << dir << "/in/\nSpool=" << web.Spool() << "\nGatewayName=modem1\n[Ports]\nCOM1="
                                 << link << "\n";
  auto gateway = std::make_unique<Child>(std::vector<std::string>{binary, "--headless", "gw.ini"}, dir);
  return gateway->pid > 0 ? std::move(gateway) : nullptr;
}

}  // namespace pdulink::test
