// The hook runner with small shell scripts as hooks: what reaches the
// journal, what a hook gets, and how hooks that hang, flood or linger are
// dealt with.
#include "HookRunner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "TestDispatcher.h"

namespace {

using namespace std::chrono_literals;
using pdulink::test::Slurp;
using pdulink::test::TempDir;

// True when the process is gone (or a zombie nobody has reaped yet).
bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t paren = all.rfind(')');
  return paren != std::string::npos && paren + 2 < all.size() && all[paren + 2] == 'Z';
}

pid_t PidIn(const std::string& path) {
  try {
    return static_cast<pid_t>(std::stoi(Slurp(path)));
  } catch (...) {
    return -1;
  }
}

class HookRunnerTest : public ::testing::Test {
 protected:
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir.Path() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  std::unique_ptr<HookRunner> Runner(HookKind kind, const std::string& program,
                                     std::chrono::milliseconds timeout = 30s) {
    HookSettings settings;
    settings.programs[static_cast<size_t>(kind)] = program;
    settings.timeout = timeout;
    return std::make_unique<HookRunner>(
        settings, [this](std::function<void()> call) { ui.Post(std::move(call)); },
        [this](const std::string& line) { journal.push_back(line); });
  }

  bool WaitFor(const std::function<bool()>& done) { return ui.PumpUntil(done); }
  size_t Count(const std::string& text) const {
    return static_cast<size_t>(std::count_if(journal.begin(), journal.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    }));
  }
  bool FileHolds(const std::string& path, const std::string& text) {
    return Slurp(path).find(text) != std::string::npos;
  }

  TempDir dir{"pdulink-hooks"};
  TestDispatcher ui;
  std::vector<std::string> journal;
};

TEST_F(HookRunnerTest, ExitStatusAndLastLinesOfOutputAreJournalled) {
  const std::string hook = Script("hook", "echo \"first $PDULINK_NUMBER\"\necho oops >&2\nexit \"$PDULINK_NUMBER\"");
  auto runner = Runner(HookKind::Received, hook);
  runner->Fire({HookKind::Received, {}, "0", "", ""});
  runner->Fire({HookKind::Received, {}, "7", "", ""});
  // A kind without a program starts nothing.
  runner->Fire({HookKind::Sent, {}, "5", "", ""});
  ASSERT_TRUE(WaitFor([&] { return journal.size() >= 2; }));
  runner->Shutdown();
  std::sort(journal.begin(), journal.end());
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[0], "Hook OnReceived " + hook + ": exit 0\n  first 0\n  oops");
  EXPECT_EQ(journal[1], "Hook OnReceived " + hook + ": exit 7\n  first 7\n  oops");
}

TEST_F(HookRunnerTest, ArgumentsEnvironmentAndWorkingDirectory) {
  const std::string out = dir.Path() + "/out";
  const std::string hook = Script("hook",
                                  "{ echo \"argc=$#\"; for a in \"$@\"; do echo \"arg=$a\"; done\n"
                                  "echo \"event=$PDULINK_EVENT\"; echo \"number=$PDULINK_NUMBER\"\n"
                                  "echo \"file=$PDULINK_FILE\"; echo \"text=$PDULINK_TEXT\"\n"
                                  "echo \"reference=${PDULINK_REFERENCE-unset}\"; echo \"inherited=$HOOKTEST_VAR\"\n"
                                  "echo \"cwd=$(pwd)\"; read line; echo \"stdin=$?\"; } > \"$0.$PDULINK_EVENT\"");
  // pdulink's environment reaches the hook, but not stale PDULINK_ values.
  ::setenv("HOOKTEST_VAR", "kept", 1);
  ::setenv("PDULINK_TEXT", "stale", 1);
  HookSettings settings;
  settings.programs[static_cast<size_t>(HookKind::Sent)] = hook;
  settings.programs[static_cast<size_t>(HookKind::Received)] = hook;
  HookRunner runner(settings, [this](std::function<void()> call) { ui.Post(std::move(call)); },
                    [this](const std::string& line) { journal.push_back(line); });
  ::unsetenv("HOOKTEST_VAR");
  ::unsetenv("PDULINK_TEXT");
  runner.Fire({HookKind::Sent, {"/spool/SMS 1.snd"}, "+4915112345678", "Grüße \"$HOME\" €", "12 13"});
  runner.Fire({HookKind::Received, {"/log/SMS2.txt", "/log/SMS2.xml"}, "1098765432", "Привет", ""});
  ASSERT_TRUE(WaitFor([&] { return journal.size() >= 2; }));
  runner.Shutdown();
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(Slurp(hook + ".sent"),
            "argc=1\narg=/spool/SMS 1.snd\nevent=sent\nnumber=+4915112345678\nfile=/spool/SMS 1.snd\n"
            "text=Grüße \"$HOME\" €\nreference=12 13\ninherited=kept\ncwd=" +
                std::string(cwd) + "\nstdin=1\n");
  EXPECT_EQ(Slurp(hook + ".received"),
            "argc=2\narg=/log/SMS2.txt\narg=/log/SMS2.xml\nevent=received\nnumber=1098765432\n"
            "file=/log/SMS2.txt\ntext=Привет\nreference=unset\ninherited=kept\ncwd=" +
                std::string(cwd) + "\nstdin=1\n");
}

TEST_F(HookRunnerTest, HookPastItsLimitIsEndedWithItsWholeGroup) {
  // Both the hook and its child ignore SIGTERM: only SIGKILL to the group ends them.
  const std::string hook = Script("hang", "trap '' TERM\nsleep 100 &\necho $! > \"$0.child\"\necho $$ > \"$0.main\"\n"
                                          "echo waiting\nwait\nwait");
  auto runner = Runner(HookKind::Call, hook, 500ms);
  runner->killGrace = 300ms;
  runner->Fire({HookKind::Call, {}, "123", "", ""});
  ASSERT_TRUE(WaitFor([&] { return !journal.empty(); }));
  EXPECT_EQ(journal[0], "Hook OnCall " + hook + ": ended at its time limit\n  waiting");
  const pid_t main = PidIn(hook + ".main"), child = PidIn(hook + ".child");
  ASSERT_GT(main, 0);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(WaitFor([&] { return Gone(main) && Gone(child); }));
  if (!Gone(child)) ::kill(child, SIGKILL);

  // The hook itself ends on SIGTERM, its child ignores it: the child still
  // gets SIGKILL with the group, before the run is reported.
  journal.clear();
  const std::string quick = Script("quick", "(trap '' TERM; exec sleep 100) &\necho $! > \"$0.child\"\nwait\nwait");
  auto second = Runner(HookKind::Call, quick, 500ms);
  second->killGrace = 300ms;
  second->Fire({HookKind::Call, {}, "123", "", ""});
  ASSERT_TRUE(WaitFor([&] { return !journal.empty(); }));
  EXPECT_EQ(journal[0], "Hook OnCall " + quick + ": ended at its time limit");
  const pid_t orphan = PidIn(quick + ".child");
  ASSERT_GT(orphan, 0);
  EXPECT_TRUE(WaitFor([&] { return Gone(orphan); }));
  if (!Gone(orphan)) ::kill(orphan, SIGKILL);
}

TEST_F(HookRunnerTest, ALongTextIsCutForTheEnvironment) {
  // 200 KiB would exceed the limit of one variable: the hook would not start.
  const std::string hook = Script("hook", "printf %s \"$PDULINK_TEXT\" | wc -c > \"$0.size\"\n"
                                          "printf %s \"$PDULINK_TEXT\" | tail -c 4 > \"$0.tail\"");
  auto runner = Runner(HookKind::Received, hook);
  std::string text = "a";
  while (text.size() < 200 * 1024) text += "\xC3\xA9";  // "é": the cut falls inside one
  runner->Fire({HookKind::Received, {}, "1", text, ""});
  ASSERT_TRUE(WaitFor([&] { return !journal.empty(); }));
  runner->Shutdown();
  EXPECT_EQ(journal[0], "Hook OnReceived " + hook + ": exit 0");
  EXPECT_EQ(std::stoi(Slurp(hook + ".size")), 32767);
  EXPECT_EQ(Slurp(hook + ".tail"), "\xC3\xA9\xC3\xA9");
}

TEST_F(HookRunnerTest, FloodOfOutputKeepsOnlyTheLastLines) {
  const std::string hook = Script("flood", "head -c 20000000 /dev/zero | tr '\\0' x\necho\nseq 1 30");
  auto runner = Runner(HookKind::Received, hook);
  runner->Fire({HookKind::Received, {}, "", "", ""});
  ASSERT_TRUE(WaitFor([&] { return !journal.empty(); }));
  std::string expected = "Hook OnReceived " + hook + ": exit 0, 20000082 bytes of output, the last lines:";
  for (int i = 21; i <= 30; ++i) expected += "\n  " + std::to_string(i);
  EXPECT_EQ(journal[0], expected);
}

TEST_F(HookRunnerTest, RunEndsWithTheHookNotWithChildrenHoldingItsOutput) {
  const std::string hook = Script("linger", "sleep 60 &\necho $! > \"$0.child\"\necho bye\nexit 3");
  auto runner = Runner(HookKind::Failed, hook);
  runner->Fire({HookKind::Failed, {}, "", "", ""});
  const bool reported = WaitFor([&] { return !journal.empty(); });
  const pid_t child = PidIn(hook + ".child");
  if (child > 0) ::kill(child, SIGKILL);
  ASSERT_TRUE(reported);
  EXPECT_EQ(journal[0], "Hook OnFailed " + hook + ": exit 3\n  bye");
}

TEST_F(HookRunnerTest, MissingOrNotExecutableProgramGivesOneLinePerEvent) {
  const std::string plain = dir.Path() + "/plain";
  std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
  ::chmod(plain.c_str(), 0644);
  HookSettings settings;
  settings.programs[static_cast<size_t>(HookKind::Received)] = dir.Path() + "/missing";
  settings.programs[static_cast<size_t>(HookKind::Sent)] = plain;
  settings.programs[static_cast<size_t>(HookKind::Report)] = "pdulink-no-such-hook-program";
  HookRunner runner(settings, [this](std::function<void()> call) { ui.Post(std::move(call)); },
                    [this](const std::string& line) { journal.push_back(line); });
  runner.Fire({HookKind::Received, {"a"}, "", "", ""});
  runner.Fire({HookKind::Received, {"b"}, "", "", ""});
  runner.Fire({HookKind::Sent, {}, "", "", ""});
  runner.Fire({HookKind::Report, {}, "", "", ""});
  ASSERT_TRUE(WaitFor([&] { return journal.size() >= 4; }));
  runner.Shutdown();
  ASSERT_EQ(journal.size(), 4u);
  EXPECT_EQ(journal[0], "Hook OnReceived " + dir.Path() + "/missing: cannot start (No such file or directory)");
  EXPECT_EQ(journal[1], journal[0]);
  EXPECT_EQ(journal[2], "Hook OnSent " + plain + ": cannot start (Permission denied)");
  EXPECT_EQ(journal[3], "Hook OnReport pdulink-no-such-hook-program: cannot start (No such file or directory)");
}

TEST_F(HookRunnerTest, AtMostFourRunAndTheRestStartInOrder) {
  // Hook n notes its start and runs until the test releases it.
  const std::string log = dir.Path() + "/starts";
  const std::string hook = Script("slot", "echo \"$PDULINK_NUMBER\" >> \"" + log +
                                              "\"\nwhile [ ! -e \"$0.go$PDULINK_NUMBER\" ]; do sleep 0.02; done");
  auto runner = Runner(HookKind::Received, hook);
  for (int n = 1; n <= 6; ++n) runner->Fire({HookKind::Received, {}, std::to_string(n), "", ""});
  auto starts = [&] {
    std::string text = Slurp(log);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  auto release = [&](int n) { std::ofstream(hook + ".go" + std::to_string(n)); };
  ASSERT_TRUE(WaitFor([&] { return starts() == 4; }));
  // Four are running; the fifth and sixth wait. Give them time to start wrongly.
  std::this_thread::sleep_for(300ms);
  ui.Pump();
  EXPECT_EQ(starts(), 4u);
  EXPECT_FALSE(FileHolds(log, "5\n"));
  release(2);
  ASSERT_TRUE(WaitFor([&] { return starts() == 5; }));
  EXPECT_TRUE(FileHolds(log, "5\n")) << Slurp(log);
  release(1);
  ASSERT_TRUE(WaitFor([&] { return starts() == 6; }));
  EXPECT_TRUE(FileHolds(log, "6\n"));
  for (int n = 3; n <= 6; ++n) release(n);
  ASSERT_TRUE(WaitFor([&] { return journal.size() == 6; }));
  EXPECT_EQ(Count(": exit 0"), 6u);
}

TEST_F(HookRunnerTest, ExitEndsRunningHooksAfterGraceAndDropsWaitingOnes) {
  const std::string hook = Script("stay", "echo $$ >> \"$0.pids\"\nexec sleep 100");
  auto runner = Runner(HookKind::Received, hook);
  runner->killGraceAtExit = 200ms;
  for (int n = 1; n <= 6; ++n) runner->Fire({HookKind::Received, {}, "", "", ""});
  auto pids = [&] {
    std::vector<pid_t> out;
    std::string text = Slurp(hook + ".pids");
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
      out.push_back(static_cast<pid_t>(std::stoi(text.substr(at, nl - at))));
    return out;
  };
  ASSERT_TRUE(WaitFor([&] { return pids().size() == 4; }));
  runner->Shutdown(100ms);
  EXPECT_EQ(Count(": ended at exit"), 4u);
  EXPECT_EQ(Count("Hooks not run at exit: 2"), 1u);
  EXPECT_EQ(journal.size(), 5u);
  for (pid_t pid : pids()) EXPECT_TRUE(Gone(pid)) << pid;
  // After the shutdown, events start nothing.
  runner->Fire({HookKind::Received, {}, "", "", ""});
  EXPECT_EQ(pids().size(), 4u);
}

TEST_F(HookRunnerTest, FullQueueRefusesFurtherEventsWithALine) {
  const std::string hook =
      Script("block", "echo >> \"$0.started\"\nwhile [ ! -e \"$0.go\" ]; do sleep 0.05; done");
  auto runner = Runner(HookKind::Received, hook);
  const size_t fired = HookRunner::kMaxRunning + HookRunner::kMaxWaiting + 1;
  for (size_t n = 0; n < fired; ++n) runner->Fire({HookKind::Received, {}, "", "", ""});
  // However many had started yet, at least one found the queue full.
  EXPECT_GE(Count(": not run, 1000 hooks waiting"), 1u);
  EXPECT_LE(Count(": not run, 1000 hooks waiting"), HookRunner::kMaxRunning + 1);
  ASSERT_TRUE(WaitFor([&] { return Slurp(hook + ".started").size() == HookRunner::kMaxRunning; }));
  std::ofstream(hook + ".go");
  runner->Shutdown(2000ms);
  EXPECT_EQ(Count(": exit 0"), HookRunner::kMaxRunning);
}

}  // namespace
