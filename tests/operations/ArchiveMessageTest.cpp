// ArchiveMessage and the Test page's Parse on a bare window (the controls
// alone, no TForm1, no phone): journal lines, message view, files, and the
// failure paths that must keep the message.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QXmlStreamReader>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "AnsiText.h"
#include "Controls.h"
#include "FormState.h"
#include "Journal.h"
#include "PollClock.h"
#include "Receiving.h"
#include "SerialPort.h"
#include "TempDir.h"
#include "TestDispatcher.h"
#include "Transaction.h"
#include "TrayState.h"
#include "WindowLayout.h"
#include "codepage.h"
#include "sms_archive.h"
#include "sms_msg.h"
#include "text_helpers.h"

namespace {

namespace fs = std::filesystem;
using pdulink::test::Slurp;
using pdulink::test::TempDir;

const std::string kDeliver = "07912143658709F1040A8101896745230000506091222271210AE8329BFD4697D9EC37";

// A DELIVER from 1098765432 with a text built by the encoder (dcs "00" for
// 7-bit, "08" for UCS2).
std::string DeliverWithText(const std::string& cp1251, const std::string& dcs = "00") {
  pdulink::tSMSmsg ud;
  ud.Clear();
  unsigned len = ud.AddText(cp1251);
  return "07912143658709F1040A810189674523" "00" + dcs + "50609122227121" + pdulink::ByteToHex(len) + ud.ToHex();
}

class ArchiveMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildControls(&window, ui);
    journal = std::make_unique<Journal>(ui.Memo2);
    tray = std::make_unique<TrayState>(&window);
    port = std::make_unique<TSerialPort>(dispatcher);
    ctx = std::make_unique<Context>(Context{ui, state, *journal, *tray, *port, clock});
    dialogue = std::make_unique<Transaction>(*ctx);
    receiving = std::make_unique<Receiving>(*ctx, *dialogue);
    state.BaseDir = base.Path();
  }

  // Journal lines without their date-and-time prefix.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    const QStringList lines = ui.Memo2->toPlainText().split(QLatin1Char('\n'));
    for (const QString& l : lines) out.push_back(ToAnsi(l.mid(20)));
    return out;
  }
  bool Logged(const std::string& line) const {
    auto l = Lines();
    return std::find(l.begin(), l.end(), line) != l.end();
  }
  std::vector<fs::path> Files(const std::string& dir) const {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }
  void SaveInto(const std::string& dir, bool append = true) {
    ui.ed_LogDir->setText(QString::fromStdString(dir));
    ui.cb_appendfile->setChecked(append);
  }

  QMainWindow window;
  Controls ui;
  FormState state;
  PollClock clock;
  TestDispatcher dispatcher;
  std::unique_ptr<Journal> journal;
  std::unique_ptr<TrayState> tray;
  std::unique_ptr<TSerialPort> port;
  std::unique_ptr<Context> ctx;
  std::unique_ptr<Transaction> dialogue;
  std::unique_ptr<Receiving> receiving;
  TempDir base;
};

TEST_F(ArchiveMessageTest, ReportOnlyWithoutSavingTouchesNoFile) {
  EXPECT_TRUE(receiving->ArchiveMessage(kDeliver, false));
  auto lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "");  // a successful decode begins with the prefix alone
  EXPECT_EQ(lines[1], "Service Centre tel= 12345678901");
  EXPECT_EQ(lines.back(), "hellohello");
  EXPECT_EQ(ui.smsfile->toPlainText().toStdString(), "#From=1098765432\n#Time=05-06-19 22:22:17 [+3]\nhellohello");
  EXPECT_TRUE(Files(base.Path()).empty());
}

TEST_F(ArchiveMessageTest, SavedMessagesGiveTxtXmlAndCollectiveLines) {
  TempDir logs;
  SaveInto(logs.Path());
  ASSERT_TRUE(receiving->ArchiveMessage(kDeliver, true)) << receiving->LastFailure;
  ASSERT_TRUE(receiving->ArchiveMessage(DeliverWithText("second"), true)) << receiving->LastFailure;

  auto files = Files(logs.Path());
  ASSERT_EQ(files.size(), 5u);  // two .txt, two .xml, the collective file; no temporary left
  EXPECT_EQ(files[0].filename(), "PDULINKL.TXT");
  const std::string name = files[1].stem().string();
  EXPECT_EQ(name.size(), 20u);
  EXPECT_EQ(name.substr(0, 3), "SMS");
  EXPECT_EQ(files[1].extension(), ".txt");
  EXPECT_EQ(files[2].stem(), name);
  EXPECT_NE(files[3].stem(), name);  // archived back to back, still two names

  pdulink::tSMSDecode d;
  d.Decode(kDeliver);
  pdulink::ArchiveReport r = pdulink::BuildArchiveReport(d);
  EXPECT_EQ(Slurp(files[1].string()), pdulink::ArchiveTxtBytes(r.view));
  EXPECT_EQ(Slurp(files[2].string()), pdulink::ArchiveXmlBytes(r));

  const std::string collective = Slurp(files[0].string());
  ASSERT_EQ(collective.size() > 20, true) << collective;
  EXPECT_EQ(collective.substr(19, collective.find("\r\n") - 19),
            " #From=1098765432 #Time=05-06-19 22:22:17 [+3] hellohello");
  EXPECT_NE(collective.find(" #From=1098765432 #Time=05-06-19 22:22:17 [+3] second\r\n"), std::string::npos);

  const std::string dir = logs.Path() + "/";
  EXPECT_TRUE(Logged("File:" + dir + name + "(.txt .xml)"));
  EXPECT_TRUE(Logged("OK Create SMS file " + dir + "PDULINKL.TXT"));
  EXPECT_TRUE(Logged("OK Append SMS to file " + dir + "PDULINKL.TXT"));
}

TEST_F(ArchiveMessageTest, AutoReadSavesAndEmptyLogDirMeansTheBaseDirectory) {
  ui.cb_autoread->setChecked(true);
  SaveInto("", false);
  ASSERT_TRUE(receiving->ArchiveMessage(kDeliver, false));
  auto files = Files(base.Path());
  ASSERT_EQ(files.size(), 2u);  // .txt and .xml, no collective file
  EXPECT_TRUE(Logged("File:" + files[0].stem().string() + "(.txt .xml)"));

  // A directory typed with a trailing backslash: the journal shows it as
  // typed, the files land inside it.
  TempDir logs;
  SaveInto(logs.Path() + "\\", false);
  ASSERT_TRUE(receiving->ArchiveMessage(kDeliver, false)) << receiving->LastFailure;
  EXPECT_EQ(Files(logs.Path()).size(), 2u);
}

TEST_F(ArchiveMessageTest, DosOptionConvertsTheTextLineOfTxtAndCollectiveOnly) {
  TempDir logs;
  SaveInto(logs.Path());
  ui.cb_dos->setChecked(true);
  const std::string privet = "\xCF\xF0\xE8\xE2\xE5\xF2";  // cp1251
  ASSERT_TRUE(receiving->ArchiveMessage(DeliverWithText(privet, "08"), true)) << receiving->LastFailure;
  auto files = Files(logs.Path());
  ASSERT_EQ(files.size(), 3u);
  const std::string oem = pdulink::AnsiToOem(privet);
  EXPECT_NE(Slurp(files[1].string()).find("\r\n" + oem + "\r\n"), std::string::npos);
  EXPECT_NE(Slurp(files[0].string()).find(" " + oem + "\r\n"), std::string::npos);
  const std::string xml = Slurp(files[2].string());
  std::u16string body = u"BODY=\"\u041F\u0440\u0438\u0432\u0435\u0442\" />";
  std::string bodyBytes;
  for (char16_t c : body) bodyBytes += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  EXPECT_NE(xml.find(bodyBytes), std::string::npos);
}

TEST_F(ArchiveMessageTest, XmlFileIsWellFormedWithMarkupInTheText) {
  TempDir logs;
  SaveInto(logs.Path(), false);
  ASSERT_TRUE(receiving->ArchiveMessage(DeliverWithText("a&b \"q\" <tag> & more"), true));
  auto files = Files(logs.Path());
  ASSERT_EQ(files.size(), 2u);
  const std::string bytes = Slurp(files[1].string());
  QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.data() + 2),
                                    static_cast<qsizetype>((bytes.size() - 2) / 2));
  QXmlStreamReader xml(text);
  ASSERT_TRUE(xml.readNextStartElement()) << xml.errorString().toStdString();
  EXPECT_EQ(xml.name().toString().toStdString(), "SMS");
  EXPECT_EQ(xml.attributes().value(QStringLiteral("BODY")).toString().toStdString(), "a&b \"q\" <tag> & more");
  EXPECT_EQ(xml.attributes().value(QStringLiteral("TEL")).toString().toStdString(), "1098765432");
  xml.skipCurrentElement();
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
}

TEST_F(ArchiveMessageTest, DecodeErrorKeepsTheRawPduInTheJournalAndInAFileWhenSaving) {
  ui.smsfile->setPlainText(QStringLiteral("old"));
  // A status report without the parameter-indicator octet.
  const std::string report = "07912143658709F1062A0B919451113254F6" "50609122227121" "50609122227121" "46";
  // Only reported while nothing is saved: the phone keeps it.
  EXPECT_FALSE(receiving->ArchiveMessage(report, false));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Parse Error:Get Byte error", report}));
  EXPECT_EQ(receiving->LastFailure, "Parse Error:Get Byte error");
  EXPECT_TRUE(ui.smsfile->toPlainText().isEmpty());
  EXPECT_TRUE(Files(base.Path()).empty());

  // Saving: the raw PDU, one line, in a .pdu file of its own; it is kept.
  ui.Memo2->clear();
  ui.cb_autoread->setChecked(true);
  EXPECT_TRUE(receiving->ArchiveMessage("0011000B91\r\n", false)) << receiving->LastFailure;
  EXPECT_FALSE(receiving->LastDecoded);
  auto files = Files(base.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].extension(), ".pdu");
  EXPECT_EQ(Slurp(files[0].string()), "0011000B91\r\n");
  EXPECT_EQ(Lines(), (std::vector<std::string>{"Parse Error:LenSMSC<1", "0011000B91",
                                               "File:" + files[0].filename().string()}));

  // Where that file cannot be written, the message is not kept.
  SaveInto(base.Path() + "/missing");
  EXPECT_FALSE(receiving->ArchiveMessage(report, false));
  EXPECT_TRUE(Logged("Save .pdu Error"));
  EXPECT_EQ(receiving->LastFailure.rfind("Parse Error:Get Byte error, Save .pdu Error (", 0), 0u) << receiving->LastFailure;
}

// Every name of the coming seconds taken already (a clock stepped back, or
// a second gateway in the same directory): none is replaced, the message
// gets a stamp of its own.
TEST_F(ArchiveMessageTest, TakenNamesAreNeverReplaced) {
  TempDir logs;
  SaveInto(logs.Path(), false);
  const auto now = std::chrono::system_clock::now();
  for (int ms = 0; ms < 500; ++ms) {
    const auto t = now + std::chrono::milliseconds(ms);
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
    const long milli = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    char name[64];
    std::snprintf(name, sizeof name, "%s/SMS%s%03ld.txt", logs.Path().c_str(), stamp, milli);
    std::ofstream(name, std::ios::binary) << "older";
  }
  ASSERT_TRUE(receiving->ArchiveMessage(kDeliver, true)) << receiving->LastFailure;
  size_t older = 0, xml = 0;
  std::string ours;
  for (auto& f : Files(logs.Path())) {
    if (f.extension() == ".xml") {
      ++xml;
      ours = f.stem().string();
    } else if (Slurp(f.string()) == "older") {
      ++older;
    }
  }
  EXPECT_EQ(older, 500u);
  ASSERT_EQ(xml, 1u);
  EXPECT_EQ(Slurp(logs.Path() + "/" + ours + ".txt").rfind("#From=1098765432", 0), 0u);
}

// Outside a listing, too, a message whose directory is not on disk is not
// reported as kept.
TEST_F(ArchiveMessageTest, UnsyncedLogDirectoryIsNotKept) {
  TempDir logs;
  SaveInto(logs.Path(), false);
  // No read: the directory cannot be opened to sync it. Root reads any
  // directory, so as root this thread checks file access as nobody instead.
  const bool root = ::geteuid() == 0;
  fs::permissions(logs.Path(), root ? fs::perms::all & ~(fs::perms::owner_read | fs::perms::group_read |
                                                          fs::perms::others_read)
                                    : fs::perms::owner_write | fs::perms::owner_exec);
  if (root) ::setfsuid(65534);
  const bool kept = receiving->ArchiveMessage(kDeliver, true);
  if (root) ::setfsuid(0);
  fs::permissions(logs.Path(), fs::perms::owner_all);
  EXPECT_FALSE(kept);
  EXPECT_TRUE(Logged("Log directory not synced to disk: " + logs.Path() + "/"));
  EXPECT_EQ(receiving->LastFailure, "Log directory not synced to disk: " + logs.Path() + "/");
}

TEST_F(ArchiveMessageTest, MissingOrUnusableLogDirectoryIsReportedAndNotKept) {
  TempDir logs;
  const std::string missing = logs.Path() + "/missing";
  SaveInto(missing);
  EXPECT_FALSE(receiving->ArchiveMessage(kDeliver, true));
  EXPECT_TRUE(Logged("Save .txt Error"));
  EXPECT_TRUE(Logged("Save .xml Error"));
  EXPECT_TRUE(Logged("ERROR Create SMS file " + missing + "/PDULINKL.TXT"));
  EXPECT_EQ(receiving->LastFailure.rfind("Save .txt Error (", 0), 0u) << receiving->LastFailure;
  EXPECT_TRUE(Files(logs.Path()).empty());

  // A file where the directory should be (refused even to root).
  std::ofstream(logs.Path() + "/plain") << "x";
  SaveInto(logs.Path() + "/plain", false);
  EXPECT_FALSE(receiving->ArchiveMessage(kDeliver, true));

  // Only the collective file fails: the message is not kept either.
  fs::create_directory(logs.Path() + "/ok");
  fs::create_directory(logs.Path() + "/ok/PDULINKL.TXT");
  SaveInto(logs.Path() + "/ok");
  EXPECT_FALSE(receiving->ArchiveMessage(kDeliver, true));
  EXPECT_EQ(receiving->LastFailure.rfind("ERROR Append SMS to file ", 0), 0u) << receiving->LastFailure;
}

// A tmpfs of `size` mounted on a fresh directory for one test (root only),
// unmounted at its end; Mounted() false when it could not be.
struct SmallFileSystem {
  explicit SmallFileSystem(const char* size)
      : mounted(::geteuid() == 0 && ::mount("tmpfs", logs.Path().c_str(), "tmpfs", 0, size) == 0) {}
  ~SmallFileSystem() {
    if (mounted) ::umount2(logs.Path().c_str(), MNT_DETACH);
  }
  TempDir logs;
  bool mounted;
};

TEST_F(ArchiveMessageTest, FullFileSystemIsReportedAndNotKept) {
  SmallFileSystem small("size=4k");
  if (!small.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  const TempDir& logs = small.logs;
  std::ofstream(logs.Path() + "/filler", std::ios::binary) << std::string(8192, 'x');
  SaveInto(logs.Path());
  EXPECT_FALSE(receiving->ArchiveMessage(kDeliver, true));
  EXPECT_TRUE(Logged("Save .txt Error"));
  for (auto& f : Files(logs.Path())) EXPECT_EQ(f.filename(), "filler") << f;
}

// Room for the .txt but not for the .xml: the .txt does not stay alone,
// so the next attempt writes the pair once, not a second .txt.
TEST_F(ArchiveMessageTest, FullFileSystemAfterTheTxtLeavesNoHalfPair) {
  SmallFileSystem small("size=8k");
  if (!small.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  const TempDir& logs = small.logs;
  std::ofstream(logs.Path() + "/filler", std::ios::binary) << std::string(4096, 'x');
  SaveInto(logs.Path());
  EXPECT_FALSE(receiving->ArchiveMessage(kDeliver, true));
  EXPECT_TRUE(Logged("Save .xml Error"));
  EXPECT_FALSE(Logged("Save .txt Error"));
  for (auto& f : Files(logs.Path()))
    EXPECT_TRUE(f.filename() == "filler" || f.filename() == "PDULINKL.TXT") << f;
}

TEST_F(ArchiveMessageTest, ParseDecodesTheTestMemoOverSeveralLines) {
  ui.Memo1->setPlainText(QStringLiteral("07912143658709F1040A81018967\n4523000050609122227121\n0AE8329BFD4697D9EC37"));
  receiving->b_parseClick();
  auto lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "======== Start Parse =========");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines.back(), "hellohello");
  EXPECT_TRUE(Files(base.Path()).empty());  // Parse saves only while auto read is on
}

}  // namespace
