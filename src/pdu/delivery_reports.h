// Delivery reports matched to the messages sent. Every part that goes out
// is recorded (its TP-MR, recipient, time and the outgoing file's new name)
// in a small state file; an SMS-STATUS-REPORT is matched by reference and
// recipient, the newest record first, since references wrap at 256. A
// match yields the journal line and, for a final outcome, the report file
// written beside the outgoing file (.dlv delivered, .und undeliverable).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink {

class tSMSDecode;

// File name of the record of the parts sent, in the working directory.
inline constexpr std::string_view kSentRecordFileName = "smsSent.rec";
// Records older than this are dropped.
inline constexpr std::int64_t kSentRecordKeepSeconds = 7 * 24 * 3600;
// Suffixes of the report files.
inline constexpr std::string_view kDeliveredSuffix = ".dlv";
inline constexpr std::string_view kUndeliverableSuffix = ".und";

// What a TP-Status value (TS 23.040 9.2.3.15) means for the message:
// 0x00..0x02 and the centre-specific 0x10..0x1F "transaction completed";
// 0x20..0x3F the centre still tries; 0x40..0x7F it gave up; the reserved
// values count as "service rejected", a final failure.
enum class ReportKind { Delivered, Temporary, Failed };
ReportKind ClassifyStatus(std::uint8_t status);

// Whether two numbers are one recipient: the same digits, or an
// international form (country code of 1 to 3 digits, then the national
// number) and a national form with or without its trunk prefix 0 or 8
// ("+49 1511 2345678" and "015112345678", "+79161234567" and
// "89161234567"). "+" and a leading international prefix "00" are the
// same; blanks, "-" and brackets are ignored. Fewer than 7 significant
// digits must match exactly.
bool SameRecipient(std::string_view a, std::string_view b);

// One part that went out.
struct SentPart {
  std::uint64_t message = 0;  // shared by the parts of one message (one copy)
  int seq = 1, total = 1;
  int reference = 0;          // TP-MR from "+CMGS: <mr>"
  std::string number;         // as sent
  std::int64_t sentAt = 0;    // seconds since the epoch
  std::string name;           // the outgoing file's new name; empty until renamed, or sent by hand
  std::string source;         // the outgoing file's path until it is renamed
  int status = -1;            // the final TP-Status reported, -1 while awaited
  std::string settledBy;      // the report that gave it: recipient and discharge time as reported
};

// What a status report says, as the decoder gives it.
struct StatusReportFacts {
  int reference = 0;
  std::string recipient;
  std::uint8_t status = 0;
  std::string statusText;     // StatusReportText(status)
  std::string centreTime;     // service-centre time stamp
  std::string dischargeTime;
};
// The facts of a decoded SMS-STATUS-REPORT, also of one that ends after its
// status octet (no TP-PI, which the decoder fails on); nothing for another
// message or another decode error.
std::optional<StatusReportFacts> ReportFactsOf(const tSMSDecode& sms);

// What one report did.
struct ReportMatch {
  bool matched = false;
  SentPart part;               // the record it matched, with the status now kept
  ReportKind kind = ReportKind::Temporary;
  bool repeated = false;       // the part had this final status already: nothing new
  bool messageDelivered = false;  // every part of the message delivered, with this one
  bool messageFailed = false;     // this part failed finally, the first of its message to
  std::string journalLine;     // empty when repeated
  std::string reportFileName;  // the .dlv / .und file due (beside the outgoing file), or empty
  std::string reportFileText;
};

// Messages in the record by their outcome (for /status).
struct ReportCounts {
  unsigned delivered = 0, undeliverable = 0, awaiting = 0;
};

// The journal line of a match:
// "Delivered SMS20261208093000123.snd to +4915112345678 at 26-12-08 09:30:05 [+1]",
// "Undeliverable <name> to <number>: 46:SM Validity Period Expired (...)",
// "Delivery pending <name> to <number>: 21:SME busy (...)"; a part of a
// long message adds " part 2/3" after the name; a message sent by hand
// (no file) is named "message".
std::string ReportJournalLine(const SentPart& part, ReportKind kind, const StatusReportFacts& r, bool wholeMessage);
// The report file: status, text, centre and discharge time, number,
// reference (and part), one key=value a line.
std::string ReportFileText(const SentPart& part, const StatusReportFacts& r);
// name with its extension (".snd", ".err", ".unknown") replaced by suffix.
std::string ReportFileName(const std::string& name, std::string_view suffix);

class SentRecord {
 public:
  explicit SentRecord(std::string path) : path_(std::move(path)) {}

  // Reads the file (none: nothing sent); unreadable lines are dropped and
  // counted; false when the file is there but cannot be read.
  bool Load(std::int64_t now, std::string* error = nullptr);
  int DroppedLines() const { return dropped_; }
  // Writes it durably when it changed since the last Load or Save.
  bool Save(std::string* error = nullptr);

  // A part went out. seq 1 starts a new message (a long message's parts
  // follow in order); parts of a message whose first part was not recorded
  // start one of their own. `source` is the outgoing file (empty for a
  // message sent by hand).
  void AddPart(const std::string& source, const std::string& number, int seq, int total, int reference,
               std::int64_t now);
  // The outgoing file `source` was renamed to `name`: its parts take the name.
  void Name(const std::string& source, const std::string& name);
  // Matches a report: a report that settled a part already (same reference,
  // recipient, discharge time and status: listed again) settles nothing
  // else; otherwise the newest part still awaited with this reference and
  // recipient, else the newest one that has its final status. A final status
  // is kept in the part; a temporary one changes nothing.
  ReportMatch Match(const StatusReportFacts& report);
  // Drops records sent kSentRecordKeepSeconds or more before now.
  void Prune(std::int64_t now);
  ReportCounts Counts() const;

  const std::vector<SentPart>& Parts() const { return parts_; }
  bool Dirty() const { return dirty_; }
  const std::string& Path() const { return path_; }
  std::string Serialize() const;

 private:
  bool ParseLine(std::string_view line);
  // The steps of Match: the part a report is for (nullptr when none), the
  // count of a message's parts whose final status is of `kind` (leaving
  // out `except`), and the settling of a final status in `found`.
  SentPart* FindPart(const StatusReportFacts& report, const std::string& by);
  int CountSettled(std::uint64_t message, ReportKind kind, const SentPart* except) const;
  void Settle(SentPart& found, const StatusReportFacts& report, const std::string& by, ReportMatch& m);

  std::string path_;
  std::vector<SentPart> parts_;  // in the order sent
  std::uint64_t lastMessage_ = 0;
  bool dirty_ = false;
  int dropped_ = 0;
};

}  // namespace pdulink
