#pragma once
// A crash run: the headless gateway against the simulated phone, killed
// (SIGKILL) again and again at seeded moments of its listings and of its
// watched-file sends, restarted each time on the same directories, then
// left to finish in a clean run. Afterwards every delivered message and
// every outgoing file is accounted for:
//   - each delivered text archived exactly once, and nothing left on the
//     phone;
//   - each outgoing text taken by the phone at most once, and its file
//     under a final name: .snd (then sent exactly once), .err, or the name
//     that says its outcome is unknown.
// The kill schedule (where, after what, how long after) follows from the
// seed alone; the moments themselves are steps of the gateway, not times,
// wherever a step can be named:
//   Random         a delay after the start, anywhere in start-up or work
//   InListing      soon after the listing journals a listed message
//   BeforeDeletes  when the listing has journaled its total, before deletes
//   AfterDelete    right after an AT+CMGD was written
//   MidArchive     right before an archive file takes its name
//   AfterPdu       right after a PDU reached the phone, before its answer
//   BeforeRename   right before an outgoing file is renamed
// The last four are crash points inside the gateway (crash_points.cpp);
// the others are kills from outside.
#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PhoneProcess.h"
#include "TempDir.h"
#include "sms_decode.h"

namespace crash {

// The name an outgoing file gets when the gateway cannot know whether its
// message went out (renamed into the working directory). Kept here alone.
inline constexpr const char* kUnknownOutcomePattern = "SMS*.unknown";

enum class Kill { Random, InListing, BeforeDeletes, AfterDelete, MidArchive, AfterPdu, BeforeRename, Count };

inline const char* KillName(Kill k) {
  switch (k) {
    case Kill::Random: return "random";
    case Kill::InListing: return "in-listing";
    case Kill::BeforeDeletes: return "before-deletes";
    case Kill::AfterDelete: return "after-delete";
    case Kill::MidArchive: return "mid-archive";
    case Kill::AfterPdu: return "after-pdu";
    case Kill::BeforeRename: return "before-rename";
    default: return "?";
  }
}

struct Options {
  unsigned seed = 19;
  bool fastMode = false;
  // Every opt-in key at once (fast mode, indications, long messages and
  // joining, matched reports, UTF-8 files, the hooks, the SQLite spool)
  // against the noisy phone, whose reports come 20 ms after each send.
  bool everything = false;
  int kills = 6;
  int received = 10;  // messages delivered to the phone over the run
  int outgoing = 6;   // files dropped into the watched directory
  int tickMs = 100;
  int lifeSeconds = 8;    // longest wait for a kill's step
  int cleanSeconds = 30;  // longest clean run
  int quietSeconds = 3;   // a clean run ends after this long without change
  std::string gatewayBin;
};

struct Counts {
  int delivered = 0, dropped = 0;
  int kills = 0, killsMissed = 0;  // missed: the step never came, killed at the deadline
  std::map<std::string, int> killsByKind;
  int lost = 0;            // delivered texts found in no archive file
  int archivedTwice = 0;   // delivered texts in more than one archive file
  int leftOnPhone = 0;     // messages still stored on the phone at the end
  int sentTwice = 0;       // outgoing texts the phone took more than once
  int extraSends = 0;      // PDUs the phone took beyond the first of each text
  int sndNotSent = 0;      // .snd files whose text the phone never took
  int unfinished = 0;      // outgoing texts under no final name (or still waiting)
  int snd = 0, err = 0, unknown = 0;
  bool cleanRunEnded = false;  // the gateway ended on /exit after the clean run
  long longestQuietMs = 0;     // longest stretch of the clean run without a command
  std::string trace;           // one line per life, for failure messages

  bool Clean() const {
    return lost == 0 && archivedTwice == 0 && leftOnPhone == 0 && sentTwice == 0 && sndNotSent == 0 &&
           unfinished == 0 && cleanRunEnded;
  }
  std::string Summary() const {
    std::ostringstream s;
    s << "delivered " << delivered << ", files " << dropped << ", kills " << kills << " (missed " << killsMissed
      << "): lost " << lost << ", archived twice " << archivedTwice << ", left on phone " << leftOnPhone
      << ", sent twice " << sentTwice << " (extra sends " << extraSends << ")" << ", .snd not sent " << sndNotSent << ", unfinished " << unfinished
      << "; .snd " << snd << ", .err " << err << ", unknown " << unknown << "; longest quiet " << longestQuietMs
      << " ms";
    return s.str();
  }
};

inline std::string ReceivedToken(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "R%03dz", i);
  return b;
}
inline std::string SentToken(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "S%03dz", i);
  return b;
}

class Run {
 public:
  explicit Run(Options o) : o_(std::move(o)), rng_(o_.seed) {}

  Counts Go() {
    pdulink::test::PhoneProcess phone({"--memories", "SM", "--sm-capacity", "200"});
    if (!phone.Started()) {
      counts_.trace = "phone: " + phone.Error();
      counts_.cleanRunEnded = false;
      return counts_;
    }
    phone_ = &phone;
    pdulink::test::TempDir tmp("pdulink-crash");
    work_ = tmp.Path();
    in_ = work_ + "/in";
    out_ = work_ + "/out";
    std::filesystem::create_directories(in_);
    std::filesystem::create_directories(out_);
    std::ofstream(work_ + "/gw.ini", std::ios::binary)
        << "[Main]\r\nComPort=1\r\nBaudRate=115200\r\nAutoConnect=1\r\nAutoRead=1\r\nPollingInt=1\r\n"
        << "AutoSend=1\r\nWatchInt=1\r\nBatteryCheck=0\r\nLogDir=" << in_ << "\r\nWatchDir=" << out_
        << "/smss*.txt\r\nFastMode=" << (o_.fastMode || o_.everything ? 1 : 0) << "\r\n" << EverythingKeys()
        << "[Ports]\r\nCOM1=" << phone.LinkPath() << "\r\n";
    if (o_.everything) {
      phone.Control("noise rate=20 seed=" + std::to_string(o_.seed) + " hold=300 on");
      phone.Control("reports delay=20 on");
    }

    for (int life = 0; life < o_.kills; ++life) {
      const int livesLeft = o_.kills - life;
      Deliver(Share(o_.received - counts_.delivered, livesLeft));
      Drop(Share(o_.outgoing - counts_.dropped, livesLeft));
      Life(static_cast<Kill>(Pick(0, static_cast<int>(Kill::Count) - 1)));
    }
    Deliver(o_.received - counts_.delivered);
    Drop(o_.outgoing - counts_.dropped);
    CleanRun();
    Account();
    if (const char* keep = std::getenv("PDULINK_CRASH_JOURNAL")) std::ofstream(keep, std::ios::binary) << cleanJournal_;
    phone_ = nullptr;
    return counts_;
  }

 private:
  std::string EverythingKeys() const {
    if (!o_.everything) return "";
    std::string keys = "Indications=1\r\nLongSms=1\r\nJoinParts=1\r\nMatchReports=1\r\nUtf8Files=1\r\n";
    for (const char* hook : {"OnReceived", "OnSent", "OnFailed", "OnReport"}) keys += std::string(hook) + "=/bin/true\r\n";
    return keys + "Spool=sqlite:" + work_ + "/spool.db\r\n";
  }
  // Milliseconds of the day of a transcript line ("YYYY-MM-DD hh:mm:ss.mmm ...").
  static long LineMs(const std::string& line) {
    if (line.size() < 23) return -1;
    return ((std::stol(line.substr(11, 2)) * 60 + std::stol(line.substr(14, 2))) * 60 + std::stol(line.substr(17, 2))) *
               1000 +
           std::stol(line.substr(20, 3));
  }
  // The longest gap between two commands the phone received after offset.
  long LongestQuiet(size_t offset) const {
    const std::string t = phone_->Transcript();
    long last = -1, longest = 0;
    for (size_t at = t.find(" <- ", offset); at != std::string::npos; at = t.find(" <- ", at + 1)) {
      const size_t start = t.rfind('\n', at);
      const long ms = LineMs(t.substr(start == std::string::npos ? 0 : start + 1, 23));
      if (ms < 0) continue;
      if (last >= 0 && ms >= last) longest = std::max(longest, ms - last);
      last = ms;
    }
    return longest;
  }

  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  // Some of what is left, so that every life has new work and some is left
  // for the clean run.
  int Share(int left, int lives) {
    if (left <= 0) return 0;
    const int even = (left + lives) / (lives + 1);
    return std::min(left, Pick(even > 1 ? even - 1 : 0, even + 1));
  }

  void Deliver(int n) {
    for (int k = 0; k < n; ++k) {
      const int i = counts_.delivered++;
      phone_->Control("deliver +4915112345" + std::to_string(100 + i % 900) + " \"crash run " + ReceivedToken(i) +
                      "\"");
    }
  }

  void Drop(int n) {
    for (int k = 0; k < n; ++k) {
      const int i = counts_.dropped++;
      char name[32];
      std::snprintf(name, sizeof name, "/smss%03d.txt", i);
      const std::string path = out_ + name;
      const std::string temp = out_ + "/.writing";
      std::ofstream(temp, std::ios::binary) << "+4916012345" << (100 + i % 900) << " crash run " << SentToken(i)
                                            << "\r\n";
      // Written well before it is looked at: not a file still being written.
      timeval old[2];
      ::gettimeofday(&old[0], nullptr);
      old[0].tv_sec -= 10;
      old[1] = old[0];
      ::utimes(temp.c_str(), old);
      std::filesystem::rename(temp, path);
    }
  }

  static bool Has(const std::string& text, const std::string& needle, size_t from = 0) {
    return text.find(needle, from) != std::string::npos;
  }
  // "TotalReaded=" with a count above 0.
  static bool ListedSome(const std::string& journal) {
    for (size_t at = journal.find("TotalReaded="); at != std::string::npos;
         at = journal.find("TotalReaded=", at + 1)) {
      const char c = at + 12 < journal.size() ? journal[at + 12] : '0';
      if (c >= '1' && c <= '9') return true;
    }
    return false;
  }

  void Life(Kill kind) {
    std::vector<std::string> env = {"PDULINK_CRASH_OUT=" + out_, "PDULINK_CRASH_IN=" + in_};
    int delayMs = 0;
    switch (kind) {
      case Kill::Random: delayMs = Pick(0, 2500); break;
      case Kill::InListing: delayMs = Pick(0, 60); break;
      case Kill::AfterDelete: env.push_back("PDULINK_CRASH_POINT=cmgd:" + std::to_string(Pick(1, 2))); break;
      case Kill::MidArchive: env.push_back("PDULINK_CRASH_POINT=in:" + std::to_string(Pick(1, 4))); break;
      case Kill::AfterPdu: env.push_back("PDULINK_CRASH_POINT=pdu:1"); break;
      case Kill::BeforeRename: env.push_back("PDULINK_CRASH_POINT=out:1"); break;
      default: break;
    }
    pdulink::test::Child gw({o_.gatewayBin, std::to_string(o_.tickMs), "gw.ini"}, work_, env);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(o_.lifeSeconds);
    bool byItself = false, missed = false;
    std::chrono::steady_clock::time_point triggered{};
    bool seen = false;
    for (;;) {
      gw.Pump(2);
      int status = 0;
      if (::waitpid(gw.pid, &status, WNOHANG) == gw.pid) {
        gw.pid = -1;
        byItself = true;
        break;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now > deadline) {
        missed = true;
        break;
      }
      if (!seen) {
        switch (kind) {
          case Kill::Random: seen = true; break;
          case Kill::InListing: seen = Has(gw.outText, " N Msg = "); break;
          case Kill::BeforeDeletes: seen = ListedSome(gw.outText); break;
          default: break;  // crash points inside the gateway
        }
        if (seen) triggered = (kind == Kill::Random) ? start : now;
      }
      if (seen && now >= triggered + std::chrono::milliseconds(delayMs)) break;
    }
    if (gw.pid > 0) {
      ::kill(gw.pid, SIGKILL);
      ::waitpid(gw.pid, nullptr, 0);
      gw.pid = -1;
    }
    SettleLine();
    ++counts_.kills;
    ++counts_.killsByKind[KillName(kind)];
    if (missed) ++counts_.killsMissed;
    counts_.trace += std::string("life ") + std::to_string(counts_.kills) + ": " + KillName(kind) +
                     (missed ? " (step not reached)" : byItself ? " (crash point)" : "") + "\n";
  }

  // Waits (up to 3 s) until the phone has seen the killed gateway close the
  // device, as a real phone's line would have dropped before the restart:
  // a gateway that opens the device while the phone still deals with the
  // last one's hang-up would lose its own connection.
  void SettleLine() const {
    for (int waited = 0; waited < 3000; waited += 10) {
      const std::string t = phone_->Transcript();
      size_t opened = 0, closed = 0;
      for (size_t at = t.find("host opened the device"); at != std::string::npos; at = t.find("host opened", at + 1)) ++opened;
      for (size_t at = t.find("host closed the device"); at != std::string::npos; at = t.find("host closed", at + 1)) ++closed;
      if (opened == closed) return;
      ::usleep(10000);
    }
  }

  size_t WaitingFiles() const {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(out_))
      n += ::fnmatch("smss*.txt", e.path().filename().c_str(), 0) == 0;
    return n;
  }
  std::string Stored() const { return phone_->Control("dump stored"); }

  void CleanRun() {
    const size_t transcriptAt = phone_->Transcript().size();
    pdulink::test::Child gw({o_.gatewayBin, std::to_string(o_.tickMs), "gw.ini"}, work_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o_.cleanSeconds);
    std::string last;
    auto lastChange = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
      gw.Pump(200);
      const std::string stored = Stored();
      const size_t waiting = WaitingFiles();
      const std::string state = stored + "|" + std::to_string(waiting);
      const auto now = std::chrono::steady_clock::now();
      // Quiet counts from the connect on: the connect itself changes nothing.
      const bool connected = Has(gw.outText, "SMS Memory Select:");
      if (state != last || !connected) {
        last = state;
        lastChange = now;
      }
      if (waiting == 0 && stored.find("stored ") == std::string::npos) break;
      if (connected && now - lastChange > std::chrono::seconds(o_.quietSeconds)) break;
    }
    gw.Type("/exit");
    counts_.cleanRunEnded = gw.Wait(30) == 0;
    cleanJournal_ = gw.outText + gw.errText;
    counts_.longestQuietMs = LongestQuiet(transcriptAt);
    counts_.trace += "clean run: " + std::string(counts_.cleanRunEnded ? "ended on /exit" : "did not end") + "\n";
  }

  static std::vector<std::string> Tokens(const std::string& text, char lead) {
    std::vector<std::string> found;
    for (size_t at = text.find(lead); at != std::string::npos; at = text.find(lead, at + 1))
      if (at + 5 <= text.size() && text[at + 4] == 'z' && isdigit(static_cast<unsigned char>(text[at + 1])) &&
          isdigit(static_cast<unsigned char>(text[at + 2])) && isdigit(static_cast<unsigned char>(text[at + 3])))
        found.push_back(text.substr(at, 5));
    return found;
  }

  void Account() {
    // Received: every archive text file, by the tokens it holds.
    std::map<std::string, int> archived;
    for (const auto& e : std::filesystem::directory_iterator(in_)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("SMS", 0) != 0 || e.path().extension() != ".txt") continue;
      std::set<std::string> inFile;
      for (const auto& t : Tokens(pdulink::test::Slurp(e.path().string()), 'R')) inFile.insert(t);
      for (const auto& t : inFile) ++archived[t];
    }
    for (int i = 0; i < counts_.delivered; ++i) {
      const int n = archived[ReceivedToken(i)];
      counts_.lost += n == 0;
      counts_.archivedTwice += n > 1;
    }
    const std::string stored = Stored();
    for (size_t at = stored.find("stored "); at != std::string::npos; at = stored.find("stored ", at + 1))
      ++counts_.leftOnPhone;

    // Sent: what the phone took, by token.
    std::map<std::string, int> taken;
    for (const std::string& pdu : phone_->Submitted()) {
      // The decoder wants a service-centre field of one octet at least:
      // an empty one ("00") is given as "0191" (a type, no digits).
      pdulink::tSMSDecode d;
      d.Decode(pdu.rfind("00", 0) == 0 ? "0191" + pdu.substr(2) : pdu);
      for (const auto& t : Tokens(d.Text, 'S')) ++taken[t];
    }
    // Outgoing files: where each token ended.
    std::map<std::string, std::string> ending;  // token -> "snd", "err", "unknown", "waiting"
    for (const auto& e : std::filesystem::directory_iterator(work_)) {
      const std::string name = e.path().filename().string();
      std::string kind;
      if (::fnmatch("SMS*.snd", name.c_str(), 0) == 0) kind = "snd";
      else if (::fnmatch("SMS*.err", name.c_str(), 0) == 0) kind = "err";
      else if (::fnmatch(kUnknownOutcomePattern, name.c_str(), 0) == 0) kind = "unknown";
      else continue;
      for (const auto& t : Tokens(pdulink::test::Slurp(e.path().string()), 'S')) {
        ending[t] = ending.count(t) ? "twice" : kind;
      }
    }
    for (const auto& e : std::filesystem::directory_iterator(out_))
      for (const auto& t : Tokens(pdulink::test::Slurp(e.path().string()), 'S')) ending[t] = "waiting";
    for (int i = 0; i < counts_.dropped; ++i) {
      const std::string t = SentToken(i);
      const int n = taken[t];
      const std::string end = ending.count(t) ? ending[t] : "";
      counts_.sentTwice += n > 1;
      counts_.extraSends += n > 1 ? n - 1 : 0;
      counts_.snd += end == "snd";
      counts_.err += end == "err";
      counts_.unknown += end == "unknown";
      counts_.sndNotSent += end == "snd" && n == 0;
      counts_.unfinished += end != "snd" && end != "err" && end != "unknown";
    }
  }

  Options o_;
  std::mt19937 rng_;
  Counts counts_;
  pdulink::test::PhoneProcess* phone_ = nullptr;
  std::string work_, in_, out_;
  std::string cleanJournal_;
};

}  // namespace crash
