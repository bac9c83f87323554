// Joining the parts of concatenated messages as they are received
// (3GPP TS 23.040 9.2.3.24.1, 8- and 16-bit references). Parts wait in a
// state file in the log directory; once all parts of a message are there,
// or it has waited too long, the joined message is handed out, with the
// bytes of its .txt and .xml files. Every part is still archived on its own
// by the receiving side; this only adds the joined pair.
#pragma once

#include <cstdint>
#include <map>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "sms_archive.h"
#include "sms_decode.h"

namespace pdulink {

// File name of the waiting parts, in the log directory.
inline constexpr std::string_view kJoinStateFileName = "PDULINKJ.DAT";

// What stands in a joined text for a part that never came.
inline constexpr std::string_view kMissingPartText = "[...]";

// Name suffixes of the joined files (after the archive name of the part
// whose arrival completed the message, or of the latest part).
inline constexpr std::string_view kJoinedSuffix = "_joined";
inline constexpr std::string_view kIncompleteSuffix = "_incomplete";

inline constexpr int kDefaultJoinTimeoutHours = 24;

// One part as the joiner keeps it.
struct ConcatPart {
  std::string sender;            // originator address
  std::uint8_t addrType = 0x81;
  std::string smsc;              // service-centre number
  std::uint8_t firstOctet = 0;
  std::uint8_t coding = 0;
  std::uint16_t reference = 0;
  bool ref16 = false;            // from a 16-bit reference element
  std::uint8_t total = 0;
  std::uint8_t seq = 0;          // 1..total
  std::string text;              // cp1251
  std::string timeText;          // service-centre time stamp, as decoded
  std::string stem;              // archive name of the part, no extension
  std::int64_t arrived = 0;      // seconds since the epoch
};

// True when the last concatenation element of a user-data header (hex, as
// the decoder keeps it) has a 16-bit reference; the decoder takes the last
// one too.
bool HeaderHasRef16(std::string_view headerHex);

// The part a decoded message is: an SMS-DELIVER with a concatenation
// element of two or more parts and a sequence number within them; nothing
// otherwise. `stem` is the name its own archive files got.
std::optional<ConcatPart> PartFromDecode(const tSMSDecode& d, std::string_view stem, std::int64_t now);

// Which parts belong together: same sender, reference (and its size) and
// part count.
struct JoinKey {
  std::string sender;
  std::uint16_t reference = 0;
  bool ref16 = false;
  std::uint8_t total = 0;
  bool operator<(const JoinKey& o) const {
    return std::tie(sender, reference, ref16, total) < std::tie(o.sender, o.reference, o.ref16, o.total);
  }
  bool operator==(const JoinKey& o) const = default;
};

struct JoinedMessage {
  JoinKey key;
  ConcatPart first;        // the lowest part present: time stamp, centre, coding
  std::string text;        // parts in order, kMissingPartText for a gap
  int received = 0;        // parts present
  bool incomplete = false; // handed out by the time-out
  std::string stem;        // archive name of the latest part
};

// The joined pair ready to write, and its journal line.
struct JoinedFiles {
  std::string txtName, xmlName;  // file names inside the log directory
  std::string txtBytes, xmlBytes;
  std::string journalLine;
};

// The report of a joined message, laid out like the archive of a single
// SMS-DELIVER (its text without a header), with the attributes REFNUM and
// PARTS, and INCOMPLETE and RECEIVED when parts are missing.
ArchiveReport BuildJoinedReport(const JoinedMessage& m);

// The files of a joined message; `dosCodepage` as for every archive file;
// utf8: the parts' texts are UTF-8 (Utf8Files), the code page 866 line is
// not made then.
JoinedFiles BuildJoinedFiles(const JoinedMessage& m, bool dosCodepage, bool utf8 = false);

class PartJoiner {
 public:
  PartJoiner(std::string statePath, int timeoutHours);

  // Reads the state file (none: nothing waits). Lines that cannot be read
  // are dropped and counted; false when the file is there but unreadable.
  bool Load(std::string* error = nullptr);
  int DroppedLines() const { return dropped_; }

  // Takes a part in; false for a part already there, or one of a message
  // already joined (same part number and text).
  bool Add(ConcatPart part);

  // The messages complete, or whose first part came timeoutHours or more
  // before `now`, in key order. They stay waiting until Joined.
  std::vector<JoinedMessage> Ready(std::int64_t now) const;

  // The message's files are written: it waits no more, and its parts are
  // remembered for timeoutHours so that a late copy is not joined again.
  void Joined(const JoinedMessage& m, std::int64_t now);

  // Writes the state durably when it changed since the last Save or Load.
  bool Save(std::string* error = nullptr);

  std::size_t Pending() const { return pending_.size(); }
  bool Dirty() const { return dirty_; }
  const std::string& Path() const { return path_; }

  // The state file's content (for Save and the tests).
  std::string Serialize() const;

 private:
  struct Waiting {
    std::vector<std::optional<ConcatPart>> parts;  // index seq - 1
    int count = 0;
    std::int64_t since = 0;  // earliest arrival
  };
  struct Done {
    std::int64_t at = 0;
    std::vector<std::uint64_t> digests;  // index seq - 1; 0 for a gap
  };
  bool ParseLine(std::string_view line);
  void Prune(std::int64_t now);
  static JoinedMessage Build(const JoinKey& key, const Waiting& w);

  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  std::string path_;
  std::int64_t timeout_;  // seconds
  std::map<JoinKey, Waiting> pending_;
  std::set<JoinKey> complete_;       // pending messages with every part
  std::int64_t earliest_ = kNever;   // no pending message is older
  std::map<JoinKey, Done> done_;
  std::int64_t oldestDone_ = kNever; // no joined message is remembered longer
  bool dirty_ = false;
  int dropped_ = 0;
};

}  // namespace pdulink
