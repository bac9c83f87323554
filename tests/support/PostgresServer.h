#pragma once
// A private PostgreSQL server for one test: a cluster made with initdb in a
// temporary directory, listening on a Unix socket in that directory only
// (no TCP), trusted local connections, stopped and removed at the end. The
// server refuses to run as root, so as root it runs as "nobody" in a
// directory that user owns. Started() is false, with Error() saying why,
// where it cannot start (no PostgreSQL installed, no such user).
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace pdulink::test {

inline constexpr const char* kPostgresBin = "/usr/lib/postgresql/15/bin";

class PostgresServer {
 public:
  PostgresServer() {
    char tmpl[] = "/tmp/pdulink-pg-XXXXXX";
    if (!::mkdtemp(tmpl)) {
      error_ = "no temporary directory";
      return;
    }
    dir_ = tmpl;
    if (!std::filesystem::exists(std::string(kPostgresBin) + "/initdb")) {
      error_ = std::string("PostgreSQL 15 is not installed (") + kPostgresBin + "/initdb)";
      return;
    }
    if (::geteuid() == 0) {
      const passwd* pw = ::getpwnam("nobody");
      if (!pw) {
        error_ = "running as root and there is no user nobody to run the server as";
        return;
      }
      if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        error_ = "cannot hand the directory to nobody";
        return;
      }
      as_ = "runuser -u nobody -- ";
    }
    if (!Shell(std::string(kPostgresBin) + "/initdb -D " + dir_ + "/data -A trust -U postgres --no-sync -N -E UTF8" +
               " --locale=C.UTF-8 >" + dir_ + "/initdb.log 2>&1")) {
      error_ = "initdb failed: " + Tail(dir_ + "/initdb.log");
      return;
    }
    if (!Start()) {
      error_ = "the server did not start: " + Tail(dir_ + "/server.log");
      return;
    }
    started_ = true;
  }
  ~PostgresServer() {
    if (started_) Stop();
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  bool Started() const { return started_; }
  const std::string& Error() const { return error_; }
  const std::string& Directory() const { return dir_; }
  // The Spool= value for database `postgres` as user postgres over the socket.
  std::string Uri() const { return "postgresql:///postgres?host=" + dir_ + "&user=postgres"; }

  // fsync off: a test server need not survive a power cut.
  bool Start() {
    return Shell(std::string(kPostgresBin) + "/pg_ctl -D " + dir_ + "/data -w -t 60 -l " + dir_ +
                 "/server.log -o \"-k " + dir_ + " -c listen_addresses= -F -c max_connections=60\" start >/dev/null");
  }
  bool Stop() {
    return Shell(std::string(kPostgresBin) + "/pg_ctl -D " + dir_ + "/data -w -m fast stop >/dev/null");
  }
  // Stops and starts the server: every open connection is broken.
  bool Restart() { return Stop() && Start(); }
  // Runs SQL through psql; its output (unaligned, tuples only) in *out.
  bool Psql(const std::string& sql, std::string* out = nullptr) const {
    const std::string file = dir_ + "/psql.out";
    const bool ok = Shell(std::string("/usr/bin/psql -X -A -t -q -h ") + dir_ + " -U postgres -d postgres -c \"" + sql +
                          "\" >" + file + " 2>&1");
    if (out) *out = Tail(file, 1 << 20);
    return ok;
  }

 private:
  bool Shell(const std::string& command) const {
    // From "/" so that the server's user may stand in its working directory.
    const std::string full = "cd / && " + as_ + command;
    return std::system(full.c_str()) == 0;
  }
  static std::string Tail(const std::string& path, size_t most = 600) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text.size() > most ? text.substr(text.size() - most) : text;
  }

  std::string dir_;
  std::string as_;
  std::string error_;
  bool started_ = false;
};

}  // namespace pdulink::test
