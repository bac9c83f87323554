// Watched-directory sending: the turn with a fake sender (files, names,
// results, renames that fail, files still being written, moves across
// file systems), its file helpers, and end to end through the simulated
// phone.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <regex>

#include "FormState.h"
#include "GatewayFixture.h"
#include "TempDir.h"
#include "WatchFiles.h"
#include "WatchTurn.h"
#include "archive_files.h"

namespace {

using pdulink::test::Slurp;
namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Names in dir that look like renamed outgoing files with this suffix.
std::vector<std::string> Renamed(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> out;
  const std::regex name("SMS[0-9]{17}\\" + suffix);
  for (auto& e : fs::directory_iterator(dir))
    if (std::regex_match(e.path().filename().string(), name)) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHandler([](const std::string&) {});
    StartupOptions options;
    options.configArg = tmp.Path() + "/absent.ini";
    form = std::make_unique<TForm1>(options);
    form->timer1()->stop();
    form->state().BaseDir = tmp.Path();
    MakeTurn();
  }
  // A fake send that goes through the hooks as the real one does: the
  // PDU (unless the preparation failed), then its answer.
  void MakeTurn() {
    turn = std::make_unique<WatchTurn>(form->gateway().context(), form->dialogue(),
                                       [this](const std::string& number, const std::string& body,
                                              const SendHooks& hooks) {
                                         sent.emplace_back(number, body);
                                         if (beforePdu) beforePdu();
                                         if (result == -2) return -2;  // nothing was prepared
                                         if (stopBeforePdu) return -1;
                                         if (hooks.BeforePdu && !hooks.BeforePdu()) return -1;
                                         if (afterPdu) afterPdu();
                                         if (hooks.Answered) hooks.Answered(result >= 0);
                                         if (afterAnswer) afterAnswer();
                                         return result;
                                       });
  }
  void TearDown() override {
    turn.reset();
    form.reset();
    SetMessageHandler(nullptr);
  }
  void Template(const std::string& utf8) { form->ui().Ed_watchDir->setText(QString::fromUtf8(utf8.c_str())); }
  std::vector<std::string> Journal() const {
    std::vector<std::string> out;
    for (const QString& line : form->ui().Memo2->toPlainText().split(QLatin1Char('\n')))
      if (line.size() > 20) out.push_back(line.mid(20).toStdString());
    return out;
  }
  size_t Count(const std::string& line) const {
    auto j = Journal();
    return static_cast<size_t>(std::count(j.begin(), j.end(), line));
  }

  pdulink::test::TempDir tmp{"pdulink-watch"};
  std::unique_ptr<TForm1> form;
  std::unique_ptr<WatchTurn> turn;
  std::vector<std::pair<std::string, std::string>> sent;
  int result = 5;
  bool stopBeforePdu = false;  // the send ends before its PDU
  std::function<void()> beforePdu, afterPdu, afterAnswer;
};

TEST_F(WatchTest, SendsTheFirstLineAndRenamesTheFileSent) {
  WriteFile(tmp.Path() + "/smss1.txt", "12345   Hello\t  world\r\nsecond line\r\n");
  turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], std::make_pair(std::string("12345"), std::string("Hello world")));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"smss1.txt", "Auto Send SMS OK", "Rename smss1.txt OK"}));
  EXPECT_FALSE(fs::exists(tmp.Path() + "/smss1.txt"));
  std::vector<std::string> snd = Renamed(tmp.Path(), ".snd");
  ASSERT_EQ(snd.size(), 1u);
  EXPECT_EQ(Slurp(snd[0]), "12345   Hello\t  world\r\nsecond line\r\n");
  turn->Run();  // nothing left
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(WatchTest, OneFilePerTurnInNameOrderSkippingWhatDoesNotMatch) {
  fs::create_directory(tmp.Path() + "/out");
  Template("out\\smss*.txt");  // a backslash ends the directory part too
  WriteFile(tmp.Path() + "/out/SMSS2.TXT", "2 b\n");  // case does not matter
  WriteFile(tmp.Path() + "/out/smss1.txt", "1 a\n");
  WriteFile(tmp.Path() + "/out/.smss0.txt", "0 hidden\n");
  WriteFile(tmp.Path() + "/out/other.txt", "9 other\n");
  fs::create_directory(tmp.Path() + "/out/smss_dir.txt");
  turn->Run();
  turn->Run();
  turn->Run();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].first, "1");
  EXPECT_EQ(sent[1].first, "2");
  EXPECT_EQ(Journal()[0], "out/smss1.txt");
  // Renamed files leave the watched directory for the base directory.
  EXPECT_EQ(Renamed(tmp.Path(), ".snd").size(), 2u);
  EXPECT_TRUE(fs::exists(tmp.Path() + "/out/.smss0.txt"));
}

TEST_F(WatchTest, FailuresRenameToErrExceptOffLineNotPrepared) {
  WriteFile(tmp.Path() + "/smss1.txt", "12345 Hi\n");
  result = -2;
  form->ui().cb_offline->setChecked(true);
  form->dialogue().OfflineSession = true;
  turn->Run();
  EXPECT_EQ(Count("Auto Send SMS ERROR"), 1u);
  EXPECT_EQ(Count("Send ERROR at Offline mode. Try after..."), 1u);
  EXPECT_TRUE(fs::exists(tmp.Path() + "/smss1.txt"));
  // Off-line mode without its session: an ordinary failure.
  form->dialogue().OfflineSession = false;
  turn->Run();
  EXPECT_FALSE(fs::exists(tmp.Path() + "/smss1.txt"));
  EXPECT_EQ(Renamed(tmp.Path(), ".err").size(), 1u);
  WriteFile(tmp.Path() + "/smss2.txt", "12345 Hi\n");
  result = -1;
  form->ui().cb_offline->setChecked(false);
  turn->Run();
  EXPECT_EQ(Renamed(tmp.Path(), ".err").size(), 2u);
  EXPECT_EQ(sent.size(), 3u);
}

// Fast mode: one turn sends the waiting files, up to its limit, with the
// same lines and renames per file; the operator's requests end the batch
// between files, and a file that stays keeps the later ones waiting.
TEST_F(WatchTest, FastTurnSendsABatchThatEndsBetweenFilesWhenAsked) {
  form->state().FastMode = true;
  // The batch goes on only while the port is open, unless off-line mode
  // opens it for each command; with no phone here, off-line mode stands in.
  form->ui().cb_offline->setChecked(true);
  std::function<void()> during;
  turn = std::make_unique<WatchTurn>(form->gateway().context(), form->dialogue(),
                                     [&](const std::string& number, const std::string& body, const SendHooks&) {
                                       sent.emplace_back(number, body);
                                       if (during) during();
                                       return 3;
                                     });
  auto path = [this](int i) {
    char name[32];
    std::snprintf(name, sizeof name, "/smss%02d.txt", i);
    return tmp.Path() + name;
  };
  auto drop = [&](int first, int count) {
    for (int i = first; i < first + count; ++i) WriteFile(path(i), std::to_string(1000 + i) + " text\n");
  };
  drop(1, WatchTurn::kBatchLimit + 5);
  turn->Run();
  ASSERT_EQ(sent.size(), static_cast<size_t>(WatchTurn::kBatchLimit));
  EXPECT_EQ(sent.back().first, "1020");
  std::vector<std::string> journal = Journal();
  ASSERT_EQ(journal.size(), 3u * WatchTurn::kBatchLimit);
  EXPECT_EQ(std::vector<std::string>(journal.begin() + 3, journal.begin() + 6),
            (std::vector<std::string>{"smss02.txt", "Auto Send SMS OK", "Rename smss02.txt OK"}));
  turn->Run();
  EXPECT_EQ(sent.size(), WatchTurn::kBatchLimit + 5u);
  EXPECT_EQ(Renamed(tmp.Path(), ".snd").size(), WatchTurn::kBatchLimit + 5u);

  // Each of these, while the first file of three is sent, leaves the other
  // two for the next turn.
  int next = 1;
  const std::pair<const char*, std::function<void()>> requests[] = {
      {"Exit", [this] { form->clock().PendingCommand = kExit; }},
      {"Disconnect", [this] { form->clock().PendingCommand = kDisconnect; }},
      {"Abort", [this] { form->ui().b_abort->setEnabled(true); form->ui().b_abort->click(); }},
      {"Stop", [this] { form->ui().b_stop_sendcycle->click(); }},
      {"port closed", [this] { form->ui().cb_offline->setChecked(false); }},
      {"file taken away", [&] { fs::remove(path(next + 1)); }},
  };
  for (const auto& [name, request] : requests) {
    drop(next, 3);
    sent.clear();
    during = [&, request = request] {
      if (sent.size() == 1) request();
    };
    turn->Run();
    during = nullptr;
    const bool taken = std::string(name) == "file taken away";
    // A file that went away is passed over silently, the batch goes on.
    EXPECT_EQ(sent.size(), taken ? 2u : 1u) << name;
    form->clock().PendingCommand = kNoCommand;
    form->dialogue().AbortFlag = false;
    form->ui().cb_offline->setChecked(true);
    turn->Run();
    EXPECT_EQ(sent.size(), taken ? 2u : 3u) << name;
    for (const std::string& line : Journal()) EXPECT_NE(line.rfind("Read error:", 0), 0u) << name;
    next += 3;
  }

  // A line without text stays, and so do the files after it, as with one
  // file per turn.
  WriteFile(tmp.Path() + "/smss90.txt", "1090 text\n");
  WriteFile(tmp.Path() + "/smss91.txt", "1091\n");
  WriteFile(tmp.Path() + "/smss92.txt", "1092 text\n");
  sent.clear();
  turn->Run();
  turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, "1090");
  EXPECT_TRUE(fs::exists(tmp.Path() + "/smss92.txt"));
}

TEST_F(WatchTest, FilesWithNothingToSendStayAndOnlyTheirPathIsWritten) {
  for (const char* content : {"", "12345", "   12345\t\r\n more", "\r\n12345 second line"}) {
    WriteFile(tmp.Path() + "/smss1.txt", content);
    form->ui().Memo2->clear();
    turn->Run();
    EXPECT_EQ(Journal(), std::vector<std::string>{"smss1.txt"}) << content;
    EXPECT_TRUE(fs::exists(tmp.Path() + "/smss1.txt"));
  }
  EXPECT_TRUE(sent.empty());
}

TEST_F(WatchTest, AFileStillOpenForWritingWaitsForItsWriter) {
  const std::string path = tmp.Path() + "/smss1.txt";
  int writer = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "12345 Hel", 9), 9);
  turn->Run();
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(Count("Read error:smss1.txt"), 1u);
  EXPECT_TRUE(fs::exists(path));
  ASSERT_EQ(::write(writer, "lo\r\n", 4), 4);
  ::close(writer);
  turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].second, "Hello");
}

TEST_F(WatchTest, AMessageWhoseRenameFailedIsNeverSentAgain) {
  // The renamed files go to the working directory, which another program
  // takes away right after each answer (and puts back before each PDU, so
  // that the record of what is in flight can be kept).
  const std::string work = tmp.Path() + "/work", away = tmp.Path() + "/away";
  fs::create_directory(work);
  form->state().BaseDir = work;
  bool block = true;
  beforePdu = [&] {
    if (fs::exists(away)) fs::rename(away, work);
  };
  afterAnswer = [&] {
    if (block) fs::rename(work, away);
  };
  fs::create_directory(tmp.Path() + "/in");
  Template(tmp.Path() + "/in/smss*.txt");
  WriteFile(tmp.Path() + "/in/smss1.txt", "1 a\n");
  WriteFile(tmp.Path() + "/in/smss2.txt", "2 b\n");
  const std::string first = tmp.Path() + "/in/smss1.txt";
  for (int i = 0; i < 3; ++i) turn->Run();
  ASSERT_EQ(sent.size(), 2u);  // each once, the watch went on to the second
  EXPECT_EQ(sent[1].first, "2");
  EXPECT_EQ(Count("Rename " + first + " ERROR"), 3u);
  EXPECT_EQ(turn->PendingRenames(), 2u);
  // Until they are renamed both stay in the record, as sent.
  std::vector<watch::InFlight> record;
  ASSERT_TRUE(watch::ParseInFlight(Slurp(away + "/.pdulink-inflight"), record));
  ASSERT_EQ(record.size(), 2u);
  EXPECT_EQ(record[0].answer, watch::InFlight::Answer::Sent);
  fs::rename(away, work);
  block = false;
  turn->Run();
  EXPECT_EQ(Count("Rename " + first + " OK"), 1u);
  EXPECT_EQ(turn->PendingRenames(), 0u);
  EXPECT_EQ(Renamed(work, ".snd").size(), 2u);
  EXPECT_FALSE(fs::exists(work + "/.pdulink-inflight"));
  EXPECT_EQ(sent.size(), 2u);

  // A new file under a remembered name is a new message.
  block = true;
  WriteFile(first, "1 again\n");
  turn->Run();
  ASSERT_EQ(turn->PendingRenames(), 1u);
  fs::remove(first);
  WriteFile(first, "1 third\n");
  turn->Run();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[3].second, "third");
}

TEST_F(WatchTest, TheRecordHoldsTheFileInFlightFromItsPduUntilItsRename) {
  const std::string file = tmp.Path() + "/smss1.txt", record = tmp.Path() + "/.pdulink-inflight";
  WriteFile(file, "12345 Hi\n");
  watch::FileId id;
  ASSERT_TRUE(watch::IdentifyFile(file, id));
  std::vector<std::vector<watch::InFlight>> seen;
  auto look = [&] {
    std::vector<watch::InFlight> r;
    EXPECT_TRUE(watch::ParseInFlight(Slurp(record), r)) << Slurp(record);
    seen.push_back(r);
  };
  afterPdu = look;
  afterAnswer = look;
  turn->Run();
  ASSERT_EQ(seen.size(), 2u);
  ASSERT_EQ(seen[0].size(), 1u);
  EXPECT_EQ(seen[0][0].fsPath, file);
  EXPECT_EQ(seen[0][0].path, "smss1.txt");
  EXPECT_TRUE(seen[0][0].id == id);
  EXPECT_EQ(seen[0][0].answer, watch::InFlight::Answer::None);
  ASSERT_EQ(seen[1].size(), 1u);
  EXPECT_EQ(seen[1][0].answer, watch::InFlight::Answer::Sent);
  EXPECT_FALSE(fs::exists(record));
  EXPECT_EQ(Renamed(tmp.Path(), ".snd").size(), 1u);
  EXPECT_EQ(Journal(), (std::vector<std::string>{"smss1.txt", "Auto Send SMS OK", "Rename smss1.txt OK"}));
}

// What a run killed during its sends left: files whose answer was recorded
// (sent, refused), one killed between its PDU and the answer, and one whose
// producer replaced it since.
TEST_F(WatchTest, AStartAfterACrashSettlesWhatWasInFlightAndSendsNothingAgain) {
  using Answer = watch::InFlight::Answer;
  auto entry = [&](const std::string& name, Answer answer) {
    const std::string path = tmp.Path() + "/" + name;
    WriteFile(path, "12345 " + name + "\n");
    watch::InFlight r{path, name, {}, answer};
    EXPECT_TRUE(watch::IdentifyFile(path, r.id));
    return r;
  };
  std::vector<watch::InFlight> left = {entry("smss1.txt", Answer::Sent), entry("smss2.txt", Answer::Failed),
                                       entry("smss3.txt", Answer::None), entry("smss4.txt", Answer::None)};
  WriteFile(tmp.Path() + "/smss4.txt", "12345 a new message\n");
  std::string error;
  ASSERT_TRUE(pdulink::ReplaceFileDurably(tmp.Path() + "/.pdulink-inflight", watch::FormatInFlight(left), &error)) << error;

  turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].second, "a new message");
  std::vector<std::string> journal = Journal();
  ASSERT_EQ(journal.size(), 10u) << ::testing::PrintToString(journal);
  EXPECT_EQ(std::vector<std::string>(journal.begin(), journal.begin() + 6),
            (std::vector<std::string>{"smss1.txt", "Auto Send SMS OK", "Rename smss1.txt OK", "smss2.txt",
                                      "Auto Send SMS ERROR", "Rename smss2.txt OK"}));
  EXPECT_TRUE(std::regex_match(journal[6], std::regex("Send outcome unknown: smss3\\.txt renamed SMS[0-9]{17}\\.unknown")))
      << journal[6];
  EXPECT_EQ(journal[7], "smss4.txt");
  EXPECT_EQ(Renamed(tmp.Path(), ".snd").size(), 2u);
  EXPECT_EQ(Renamed(tmp.Path(), ".err").size(), 1u);
  std::vector<std::string> unknown = Renamed(tmp.Path(), ".unknown");
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(Slurp(unknown[0]), "12345 smss3.txt\n");
  EXPECT_FALSE(fs::exists(tmp.Path() + "/.pdulink-inflight"));
  turn->Run();
  EXPECT_EQ(sent.size(), 1u);
}

// A run killed while moving a sent file to another file system, after the
// copy took its name and before the original was removed: the start only
// removes the original, nothing is sent again nor named twice.
TEST_F(WatchTest, AStartAfterAKillDuringACopyAcrossFileSystemsRemovesTheOriginal) {
  Template("*.txt");
  // Killed after the copy took its name, and (another file) during the copy.
  const std::string source = tmp.Path() + "/smss1.txt", copy = tmp.Path() + "/SMS20260101120000000.snd";
  const std::string other = tmp.Path() + "/smss3.txt", half = tmp.Path() + "/SMS20260101120000001.snd";
  WriteFile(source, "12345 copied\n");
  WriteFile(copy, "12345 copied\n");
  WriteFile(other, "12345 half\n");
  WriteFile(half + ".41-7.tmp", "12345 ha");
  watch::InFlight r{source, "smss1.txt", {}, watch::InFlight::Answer::Sent};
  watch::InFlight h{other, "smss3.txt", {}, watch::InFlight::Answer::Sent};
  ASSERT_TRUE(watch::IdentifyFile(source, r.id));
  ASSERT_TRUE(watch::IdentifyFile(other, h.id));
  r.movedTo = copy;
  h.movedTo = half;
  std::vector<watch::InFlight> parsed;
  ASSERT_TRUE(watch::ParseInFlight(watch::FormatInFlight({r, h}), parsed));
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].movedTo, copy);
  std::string error;
  ASSERT_TRUE(pdulink::ReplaceFileDurably(tmp.Path() + "/.pdulink-inflight", watch::FormatInFlight({r, h}), &error))
      << error;
  turn->Run();
  turn->Run();
  EXPECT_TRUE(sent.empty());
  EXPECT_FALSE(fs::exists(source));
  EXPECT_FALSE(fs::exists(other));
  EXPECT_FALSE(fs::exists(half + ".41-7.tmp"));
  const std::vector<std::string> snd = Renamed(tmp.Path(), ".snd");
  ASSERT_EQ(snd.size(), 2u);
  EXPECT_EQ(snd[0], copy);
  EXPECT_EQ(Journal(), (std::vector<std::string>{"Rename smss1.txt OK", "smss3.txt", "Auto Send SMS OK",
                                                 "Rename smss3.txt OK"}));
  EXPECT_FALSE(fs::exists(tmp.Path() + "/.pdulink-inflight"));

  // The move itself across file systems (/dev/shm is a file system of its own).
  std::string shm = "/dev/shm/pdulink-watch-XXXXXX";
  ASSERT_NE(::mkdtemp(shm.data()), nullptr);
  struct Removed {
    std::string dir;
    ~Removed() { fs::remove_all(dir); }
  } removed{shm};
  const std::string away = shm + "/smss2.txt", target = tmp.Path() + "/moved.snd";
  WriteFile(away, "12345 away\n");
  struct stat a {}, b {};
  ASSERT_EQ(::stat(shm.c_str(), &a), 0);
  ASSERT_EQ(::stat(tmp.Path().c_str(), &b), 0);
  bool told = false;
  EXPECT_TRUE(watch::MoveFile(away, target, [&] { return told = true; }));
  EXPECT_EQ(told, a.st_dev != b.st_dev);
  EXPECT_FALSE(fs::exists(away));
  EXPECT_EQ(Slurp(target), "12345 away\n");
  WriteFile(away, "12345 again\n");
  EXPECT_FALSE(watch::MoveFile(away, target));  // the name is taken: nothing replaced
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Slurp(target), "12345 away\n");
  EXPECT_TRUE(fs::exists(away));
  for (auto& e : fs::directory_iterator(tmp.Path())) EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}

TEST_F(WatchTest, TheProgramsOwnNamesNeverMatchATemplate) {
  Template("*");
  for (const char* own : {"SMS20260101120000000.snd", "sms20260101120000001.ERR", "SMS20260101120000002.unknown",
                          ".pdulink-inflight", "SMS20260101120000003.txt", "SMS20260101120000003.txt.41-2.tmp",
                          "smsOwed.rec", "smsOwed.rec.41-3.tmp", "sms_vp.ini", "smsLowBat.f",
                          "SMS20260101120000004.dlv", "SMS20260101120000005.und", "smsSent.rec",
                          // the log directory watched too: joined messages, their state, the
                          // collective file, the concatenation counter, raw PDUs
                          "SMS20260101120000006_joined.txt", "SMS20260101120000006_joined.xml",
                          "SMS20260101120000007_incomplete.txt", "SMS20260101120000007_joined.txt.41-4.tmp",
                          "PDULINKJ.DAT", "PDULINKJ.DAT.41-5.tmp", "PDULINKL.TXT", "sms_concat.ref",
                          "SMS20260101120000008.pdu", "SMS20260101120000009.snd.41-6.tmp"})
    WriteFile(tmp.Path() + "/" + own, "12345 own\n");
  WriteFile(tmp.Path() + "/SMS2026.snd", "12345 foreign\n");  // no stamp of this program's
  for (int i = 0; i < 3; ++i) turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].second, "foreign");
  EXPECT_TRUE(watch::IsOwnName("SMS20260101120000000.snd"));
  EXPECT_FALSE(watch::IsOwnName("SMS2026010112000000X.snd"));
  EXPECT_FALSE(watch::IsOwnName("SMS20260101120000000.snd.txt"));
  EXPECT_FALSE(watch::IsOwnName(".pdulink-inflight.old"));
  EXPECT_FALSE(watch::IsOwnName("smsOwed.rec.x-1.tmp"));
  EXPECT_FALSE(watch::IsOwnName("SMS20260101120000006_joined2.txt"));
  EXPECT_FALSE(watch::IsOwnName("SMS20260101120000006_other.txt"));
}

TEST_F(WatchTest, WithoutLeasesSizeAndStampDecideAndAFutureStampWaitsOneLook) {
  turn->UseLeases = false;
  const std::string a = tmp.Path() + "/smss1.txt", b = tmp.Path() + "/smss2.txt";
  auto stamp = [](const std::string& path, int seconds) {
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) + seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  WriteFile(a, "12345 from a fast clock\n");
  stamp(a, 3600);
  WriteFile(b, "12345 second\n");
  stamp(b, -60);
  turn->Run();  // the first look at the future stamp
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(Count("Time stamp in the future: smss1.txt"), 1u);
  EXPECT_EQ(Count("Read error:smss1.txt"), 1u);
  turn->Run();  // unchanged since: it goes, and does not block the next one
  turn->Run();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].second, "second");
  EXPECT_EQ(Count("Time stamp in the future: smss1.txt"), 1u);

  // A file that grew between two looks waits, though its stamp is old
  // (kept by cp -p).
  WriteFile(a, "12345");
  stamp(a, -60);
  turn->Run();  // nothing to send yet
  WriteFile(a, "12345 grown\n");
  stamp(a, -60);
  turn->Run();
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_EQ(Count("Read error:smss1.txt"), 2u);
  turn->Run();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].second, "grown");
}

TEST_F(WatchTest, AFileRewrittenDuringItsSendIsLeftForTheNextTurn) {
  const std::string file = tmp.Path() + "/smss1.txt";
  WriteFile(file, "12345 first\n");
  afterPdu = [&] { WriteFile(file, "12345 second message\n"); };
  turn->Run();
  EXPECT_EQ(Journal(),
            (std::vector<std::string>{"smss1.txt", "Auto Send SMS OK", "File changed during send: smss1.txt"}));
  EXPECT_EQ(Slurp(file), "12345 second message\n");
  EXPECT_TRUE(Renamed(tmp.Path(), ".snd").empty());
  EXPECT_FALSE(fs::exists(tmp.Path() + "/.pdulink-inflight"));
  afterPdu = nullptr;
  turn->Run();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].second, "second message");
  std::vector<std::string> snd = Renamed(tmp.Path(), ".snd");
  ASSERT_EQ(snd.size(), 1u);
  EXPECT_EQ(Slurp(snd[0]), "12345 second message\n");
}

TEST_F(WatchTest, NothingThatDidNotGoOutIsMarkedFailedWhenStopped) {
  const std::string file = tmp.Path() + "/smss1.txt";
  Template(tmp.Path() + "/smss*.txt");
  WriteFile(file, "12345 Hi\n");
  stopBeforePdu = true;
  const std::pair<const char*, std::function<void()>> stops[] = {
      {"Exit posted", [this] { form->clock().PendingCommand = kExit; }},
      {"Disconnect posted", [this] { form->clock().PendingCommand = kDisconnect; }},
      {"Disconnect carried out", [this] { ++form->clock().DisconnectsRun; }},
  };
  for (const auto& [name, stop] : stops) {
    beforePdu = stop;
    form->ui().Memo2->clear();
    turn->Run();
    EXPECT_EQ(Journal(), (std::vector<std::string>{file, "Auto Send SMS ERROR", "Send stopped, file kept: " + file}))
        << name;
    EXPECT_TRUE(fs::exists(file)) << name;
    form->clock().PendingCommand = kNoCommand;
  }
  // No record can be kept: the PDU is held back and the file waits too.
  beforePdu = nullptr;
  stopBeforePdu = false;
  bool written = false;
  afterPdu = [&] { written = true; };
  form->state().BaseDir = tmp.Path() + "/missing";
  form->ui().Memo2->clear();
  turn->Run();
  EXPECT_FALSE(written);
  EXPECT_EQ(Journal(), (std::vector<std::string>{file,
                                                 "Send record error: " + tmp.Path() +
                                                     "/missing/.pdulink-inflight (write: No such file or directory)",
                                                 "Auto Send SMS ERROR"}));
  EXPECT_TRUE(fs::exists(file));
  form->state().BaseDir = tmp.Path();
  // Without a stop a send that ends before its PDU has failed, as before.
  stopBeforePdu = true;
  turn->Run();
  EXPECT_EQ(Renamed(tmp.Path(), ".err").size(), 1u);
  // Once its PDU is written, a stop no longer keeps the file: the answer
  // names it.
  WriteFile(file, "12345 Hi\n");
  stopBeforePdu = false;
  afterPdu = [this] { form->clock().PendingCommand = kExit; };
  turn->Run();
  EXPECT_EQ(Renamed(tmp.Path(), ".snd").size(), 1u);
}

TEST_F(WatchTest, ATurnStartedInsideARunningTurnDoesNothing) {
  WriteFile(tmp.Path() + "/smss1.txt", "1 a\n");
  WriteFile(tmp.Path() + "/smss2.txt", "2 b\n");
  bool nested = false;
  afterPdu = [&] {
    // As a tick nested in the send's wait would.
    if (!nested) {
      nested = true;
      turn->Run();
    }
  };
  turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Renamed(tmp.Path(), ".snd").size(), 1u);
  turn->Run();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].first, "2");
}

TEST_F(WatchTest, MoveAcrossFileSystemsCopiesThenRemoves) {
  struct stat shm {}, here {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(tmp.Path().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system (/dev/shm) to move across";
  char dirName[] = "/dev/shm/pdulink-watch-XXXXXX";
  ASSERT_NE(::mkdtemp(dirName), nullptr);
  std::string watched = dirName;
  Template(watched + "/smss*.txt");
  WriteFile(watched + "/smss1.txt", "12345 across\n");
  turn->Run();
  EXPECT_EQ(Count("Rename " + watched + "/smss1.txt OK"), 1u);
  EXPECT_FALSE(fs::exists(watched + "/smss1.txt"));
  std::vector<std::string> snd = Renamed(tmp.Path(), ".snd");
  ASSERT_EQ(snd.size(), 1u);
  EXPECT_EQ(Slurp(snd[0]), "12345 across\n");
  fs::remove_all(watched);
}

TEST_F(WatchTest, BadDirectoriesNamesAndContents) {
  Template("missing/smss*.txt");
  turn->Run();
  turn->Run();
  EXPECT_EQ(Count("Watch directory error: missing (No such file or directory)"), 1u);

  // Blanks and non-Latin letters in the name, shown as they are.
  Template("smss*.txt");
  WriteFile(tmp.Path() + "/smss \xD0\x96 #1.txt", "12345 name\n");
  turn->Run();
  EXPECT_EQ(Count("smss \xD0\x96 #1.txt"), 1u);
  EXPECT_EQ(Count("Rename smss \xD0\x96 #1.txt OK"), 1u);

  // Binary content: control bytes (NUL included) separate words like
  // blanks; the rest goes to the sender, which judges the number.
  std::string binary("\x01\x02\x00\xFF" "7 \x00\x1A\xC0\n\x00", 11);
  WriteFile(tmp.Path() + "/smss2.txt", binary);
  turn->Run();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], std::make_pair(std::string("\xFF" "7"), std::string("\xC0")));
  EXPECT_FALSE(fs::exists(tmp.Path() + "/smss2.txt"));
}

TEST_F(WatchTest, HugeFileCostsOnlyItsFirstLine) {
  const std::string path = tmp.Path() + "/smss1.txt";
  WriteFile(path, "12345 " + std::string(200, 'a') + "\n");
  ASSERT_EQ(::truncate(path.c_str(), 100LL * 1024 * 1024), 0);  // 100 MB, sparse
  std::string line;
  ASSERT_EQ(watch::ReadFirstLine(path, line), watch::ReadResult::Ok);
  EXPECT_EQ(line.size(), 206u);
  // One line with no end: cut at the cap.
  const std::string endless = tmp.Path() + "/endless.txt";
  WriteFile(endless, "12345 ");
  ASSERT_EQ(::truncate(endless.c_str(), 100LL * 1024 * 1024), 0);
  ASSERT_EQ(watch::ReadFirstLine(endless, line), watch::ReadResult::Ok);
  EXPECT_EQ(line.size(), watch::kMaxLineBytes);
  turn->Run();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].second.size(), 200u);
}

TEST(WatchFiles, TemplateAndMessageLine) {
  auto t = watch::SplitTemplate(" dir /smss*.txt");
  EXPECT_EQ(t.dir, "dir");
  EXPECT_EQ(t.pattern, "smss*.txt");
  EXPECT_EQ(watch::SplitTemplate("smss*.txt").dir, "");
  EXPECT_EQ(watch::SplitTemplate("C:\\sms\\out\\*.txt").dir, "C:\\sms\\out");
  EXPECT_EQ(watch::SplitTemplate("/smss*.txt").dir, "/");

  std::string number, body;
  ASSERT_TRUE(watch::SplitMessageLine("  +7900\t \tHi \r there\x01", number, body));
  EXPECT_EQ(number, "+7900");
  EXPECT_EQ(body, "Hi there");
  EXPECT_FALSE(watch::SplitMessageLine("12345\t\r", number, body));
  EXPECT_FALSE(watch::SplitMessageLine("", number, body));
}

TEST(WatchFiles, WithoutALeaseAFileModifiedWithinASecondCountsAsBeingWritten) {
  pdulink::test::TempDir tmp("pdulink-mtime");
  const std::string path = tmp.Path() + "/smss1.txt";
  WriteFile(path, "12345 Hi\n");
  std::string line;
  EXPECT_EQ(watch::ReadFirstLine(path, line, false), watch::ReadResult::BeingWritten);
  timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 5, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(watch::ReadFirstLine(path, line, false), watch::ReadResult::Ok);
  EXPECT_EQ(line, "12345 Hi");
  // A lease settles it at once, however fresh the file.
  WriteFile(path, "12345 Hi\r");
  EXPECT_EQ(watch::ReadFirstLine(path, line), watch::ReadResult::Ok);
  EXPECT_EQ(watch::ReadFirstLine(tmp.Path() + "/missing", line), watch::ReadResult::Unreadable);
}

TEST(WatchFiles, MoveNeverReplacesAnExistingFile) {
  pdulink::test::TempDir tmp("pdulink-move");
  const std::string a = tmp.Path() + "/a", b = tmp.Path() + "/b";
  WriteFile(a, "first");
  WriteFile(b, "second");
  EXPECT_FALSE(watch::MoveFile(a, b));
  EXPECT_EQ(Slurp(a), "first");
  EXPECT_EQ(Slurp(b), "second");
  EXPECT_TRUE(watch::MoveFile(a, tmp.Path() + "/c"));
  EXPECT_EQ(Slurp(tmp.Path() + "/c"), "first");
  EXPECT_FALSE(watch::MoveFile(tmp.Path() + "/missing", tmp.Path() + "/d"));
}

TEST_F(WatchTest, AutoSendCheckBoxFixesTheIntervalAndLocksTheSettings) {
  for (const char* text : {"0", "x", "-3"}) {
    form->ui().cb_autosend->setChecked(false);
    form->ui().Ed_watchInt->setText(QString::fromLatin1(text));
    form->ui().cb_autosend->setChecked(true);
    EXPECT_EQ(form->state().WatchInterval, 20) << text;
    EXPECT_EQ(form->ui().Ed_watchInt->text(), QStringLiteral("20")) << text;
  }
  EXPECT_FALSE(form->ui().Ed_watchDir->isEnabled());
  form->ui().cb_autosend->setChecked(false);
  form->ui().Ed_watchInt->setText(QStringLiteral("5"));
  form->ui().cb_autosend->setChecked(true);
  EXPECT_EQ(form->state().WatchInterval, 5);
  form->ui().cb_autosend->setChecked(false);
  EXPECT_TRUE(form->ui().Ed_watchDir->isEnabled());
  EXPECT_TRUE(form->ui().Ed_watchInt->isEnabled());
}

// End to end: files dropped by another program go out through the phone.
using WatchEndToEnd = GatewayTest;

TEST_F(WatchEndToEnd, DroppedFilesAreSentOncePerTurnAndAHalfWrittenOneWaits) {
  pdulink::test::TempDir dir("pdulink-watch-e2e");
  // A writer that has not finished yet (the phone must not inherit it).
  const std::string third = dir.Path() + "/smss3.txt";
  int writer = ::open(third.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "12345 Hal", 9), 9);
  WriteFile(dir.Path() + "/smss1.txt", "+4915112345678 Hello from a file\r\n");
  WriteFile(dir.Path() + "/smss2.txt", "0301234 \xCF\xF0\xE8\xE2\xE5\xF2\r\n");
  // Auto send needs auto connect.
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  ASSERT_TRUE(RunUntil([&] { return JournalCount("Read error:") >= 2; }, 30)) << Journal();
  ASSERT_EQ(::write(writer, "f done\r\n", 8), 8);
  ::close(writer);
  ASSERT_TRUE(RunUntil([&] { return !fs::exists(third); }, 30)) << Journal();

  // +4915112345678 "Hello from a file" (7-bit), 0301234 in Cyrillic (UCS2),
  // 12345 "Half done".
  EXPECT_EQ(phone->Submitted(), (std::vector<std::string>{
                                    "0011000D91945111325476F80000A711C8329BFD0699E5EF36280C32A7D965",
                                    "0011000781301032F40008A70C041F04400438043204350442",
                                    "00110005812143F50000A709C830DB0C22BFDD65"}))
      << Journal();
  EXPECT_EQ(JournalCount("Auto Send SMS OK"), 3u);
  EXPECT_EQ(Renamed(dir.Path(), ".snd").size(), 3u);
}

// Exit while the phone holds a written PDU: the answer is waited for and
// names the file; the window closes after it.
TEST_F(WatchEndToEnd, ExitWaitsForTheAnswerToAWrittenPdu) {
  pdulink::test::TempDir dir("pdulink-watch-exit");
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  ASSERT_TRUE(RunUntil([&] { return JournalHas("SMS Memory Select:"); }, 30)) << Journal();
  ASSERT_TRUE(phone->Ok(phone->Control("latency 600")));
  auto pump = form->dialogue().ProcessEvents;
  bool pressed = false;
  form->dialogue().ProcessEvents = [&] {
    if (form->clock().AnswerOwed && !pressed) {
      pressed = true;
      form->ui().b_exit->click();
    }
    pump();
  };
  WriteFile(dir.Path() + "/smss1.txt", "12345 Hi\r\n");
  ASSERT_TRUE(RunUntil([&] { return windowClosed; }, 60)) << Journal();
  EXPECT_TRUE(pressed);
  EXPECT_EQ(phone->Submitted(), std::vector<std::string>{"00110005812143F50000A702C834"});
  EXPECT_EQ(Renamed(dir.Path(), ".snd").size(), 1u) << Journal();
  const std::string j = Journal();
  EXPECT_LT(j.find("Rename " + dir.Path() + "/smss1.txt OK"), j.find("Disconnected")) << j;
  EXPECT_FALSE(fs::exists(dir.Path() + "/.pdulink-inflight"));
}

// Disconnect before the PDU: the file keeps its name and goes out after the
// next connect.
TEST_F(WatchEndToEnd, DisconnectBeforeThePduKeepsTheFile) {
  pdulink::test::TempDir dir("pdulink-watch-disc");
  Start("AutoConnect=1\r\nAutoSend=1\r\nWatchInt=1\r\nWatchDir=" + dir.Path() + "/smss*.txt\r\n");
  form->state().BaseDir = dir.Path();
  ASSERT_TRUE(RunUntil([&] { return JournalHas("SMS Memory Select:"); }, 30)) << Journal();
  ASSERT_TRUE(phone->Ok(phone->Control("latency 400")));
  auto pump = form->dialogue().ProcessEvents;
  bool pressed = false;
  form->dialogue().ProcessEvents = [&] {
    if (!pressed && JournalHas("Executing Send SMS Command:")) {
      pressed = true;
      form->ui().B_disconnect->click();
    }
    pump();
  };
  const std::string file = dir.Path() + "/smss1.txt";
  WriteFile(file, "12345 Hi\r\n");
  ASSERT_TRUE(RunUntil([&] { return JournalHas("Disconnected"); }, 30)) << Journal();
  RunUntil([] { return false; }, 1);
  EXPECT_TRUE(JournalHas("Send stopped, file kept: " + file)) << Journal();
  EXPECT_TRUE(fs::exists(file));
  EXPECT_TRUE(Renamed(dir.Path(), ".err").empty());
  EXPECT_TRUE(phone->Submitted().empty());
  form->dialogue().ProcessEvents = pump;
  ASSERT_TRUE(phone->Ok(phone->Control("latency 0")));
  form->ui().sb_connect->click();
  ASSERT_TRUE(RunUntil([&] { return !fs::exists(file); }, 30)) << Journal();
  EXPECT_EQ(phone->Submitted(), std::vector<std::string>{"00110005812143F50000A702C834"});
  EXPECT_EQ(Renamed(dir.Path(), ".snd").size(), 1u);
}

}  // namespace
