#pragma once
// Delivery reports matched to the messages sent (MatchReports=1): every part
// sent is recorded in smsSent.rec in the working directory with its
// "+CMGS:" reference; every status report the listing archives is matched
// to it, journaled, and a final outcome written beside the renamed outgoing
// file as <name>.dlv (delivered) or <name>.und (undeliverable). With the
// key absent every call here does nothing.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Context.h"
#include "delivery_reports.h"

class DeliveryReports {
 public:
  explicit DeliveryReports(Context& ctx);
  ~DeliveryReports();

  bool Enabled() const;

  // A part went out, confirmed with "+CMGS: <reference>". source: the
  // outgoing file's path (empty for a message sent by hand).
  void Sent(const std::string& source, const std::string& number, int seq, int total, int reference);
  // The outgoing file at source was renamed to name (in the working
  // directory); an empty name: it will never be renamed (changed or taken
  // away meanwhile). A final report that came before the rename gets its
  // report file now (and OnMatched is told now).
  void Settled(const std::string& source, const std::string& name);
  // A message the listing archived (now, or in an earlier run), as its PDU:
  // a status report is matched, anything else is left alone.
  void Report(const std::string& pduHex);

  // Messages of the record by outcome (for /status).
  pdulink::ReportCounts Counts();

  // What a matched report did, for whoever wants to act on it.
  struct Matched {
    std::string name;        // the outgoing file's new name; empty for a message sent by hand
    std::string number;      // as sent
    int reference = 0;       // TP-MR
    std::uint8_t status = 0; // TP-Status
    pdulink::ReportKind kind = pdulink::ReportKind::Temporary;
    bool final = false;      // delivered or failed: no further report for this part
    int seq = 1, total = 1;  // the part (1/1 for a message of one PDU)
    bool messageDone = false;   // the whole message is settled by this report
    std::string reportFile;     // the .dlv or .und file written (file-system path), or empty
    std::string sentFile;       // the sent file as it is named now (.snd, .err, .unknown; path), or empty
    std::string dischargeTime;  // as the decoder shows it ("26-12-08 10:20:30 [+3]")
  };
  // Called once for every report that matched a record and told something
  // new (a repeated final report is not passed on), after the journal line,
  // the report file and the record are written.
  std::function<void(const Matched&)> OnMatched;

  // The clock, in seconds since the epoch (tests set it).
  std::function<std::int64_t()> Now;

 private:
  // The record of the working directory, read at first use; null when it
  // cannot be read.
  pdulink::SentRecord* Record();
  void Save();

  // Writes the report file name takes; its path, or empty when it failed.
  std::string WriteReportFile(const std::string& fileName, const std::string& text);

  Context& ctx_;
  std::unique_ptr<pdulink::SentRecord> record_;
  struct Owed {
    std::string source;  // the outgoing file, not renamed yet
    std::string suffix;  // .dlv or .und
    std::string text;    // the report file's text
    Matched matched;
  };
  std::vector<Owed> owed_;
  std::string unreadableSaid_;
};
