// A stop that comes before the program has run any of its own code: the
// launcher holds SIGTERM back (blocked, pending) across the start, as a
// signal that lands in the first instant would wait. It must end the
// gateway like Exit (status 0, the disconnect journaled), never by the
// signal and never not at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

TEST(Startup, StopSignalBeforeStartUpEndsLikeExit) {
  pdulink::test::TempDir tmp("pdulink-startup");
  std::ofstream(tmp.Path() + "/gw.ini") << "[Main]\r\n";
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    // The child blocks the signal and raises it before it becomes pdulink:
    // the mask and the pending signal carry over into the new program.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, sig);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &stop, &old), 0);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      if (::chdir(tmp.Path().c_str()) != 0) ::_exit(126);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::raise(sig);
      ::execl(PDULINK_BIN, PDULINK_BIN, "--headless", "gw.ini", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(out[1]);
    ASSERT_GT(pid, 0);
    std::string journal;
    int status = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      ssize_t n = 0;
      char buf[4096];
      if (::poll(&p, 1, 100) > 0 && (n = ::read(out[0], buf, sizeof buf)) > 0)
        journal.append(buf, static_cast<size_t>(n));
      if (n <= 0) ::usleep(20000);
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
    }
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) journal.append(buf, static_cast<size_t>(n));
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    ::close(out[0]);
    EXPECT_TRUE(ended) << "still running 30 s after the stop: " << journal;
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    EXPECT_NE(journal.find(" Disconnected"), std::string::npos) << journal;
  }
}

}  // namespace
