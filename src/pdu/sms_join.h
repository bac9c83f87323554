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
  int zoneQuarters = 0;          // its zone exactly (tSMSDecode::TimeZoneQuarters)
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
  std::uint64_t id = 0;    // which of the messages waiting under key
  ConcatPart first;        // the lowest part present: time stamp, centre, coding
  std::string text;        // parts in order, kMissingPartText for a gap
  int received = 0;        // parts present
  bool incomplete = false; // handed out by the time-out or the cap
  bool overflow = false;   // handed out early: too many messages waiting
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

// How much may wait: beyond either, the oldest messages are joined as
// incomplete at once, so that no sender can fill memory or the state file.
struct JoinLimits {
  std::size_t messages = 10000;
  std::size_t bytes = 32u << 20;  // the texts, names and stamps of the parts held
};

class PartJoiner {
 public:
  PartJoiner(std::string statePath, int timeoutHours, JoinLimits limits = {});

  // Reads the state file (none: nothing waits). Lines that cannot be read
  // are dropped and counted; false when the file is there but unreadable.
  bool Load(std::string* error = nullptr);
  int DroppedLines() const { return dropped_; }

  // Takes a part in; false for a copy (same part number, text and time
  // stamp) of a part held for a message still waiting, or of one joined
  // within timeoutHours. A part goes to the latest waiting message of its
  // key that lacks its number; when every one has it, it starts a new
  // message (the sender reused the reference).
  bool Add(ConcatPart part);

  // The messages complete, whose first part came timeoutHours or more
  // before `now`, or the oldest beyond the limits, in key order. They stay
  // waiting until Joined.
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
  struct WaitId {
    JoinKey key;
    std::uint64_t serial = 0;
    bool operator<(const WaitId& o) const { return std::tie(key, serial) < std::tie(o.key, o.serial); }
  };
  struct Waiting {
    std::map<std::uint8_t, ConcatPart> parts;  // only the parts that came, by number
    std::int64_t since = 0;  // earliest arrival
    std::size_t bytes = 0;
  };
  struct Done {
    std::int64_t at = 0;
    std::vector<std::uint64_t> digests;  // index seq - 1; 0 for a gap
  };
  bool ParseLine(std::string_view line, std::optional<ConcatPart>& part);
  bool IsCopy(const ConcatPart& part);
  void Place(const WaitId& id, ConcatPart part);
  void Prune(std::int64_t now);
  static JoinedMessage Build(const WaitId& id, const Waiting& w);

  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  std::string path_;
  std::int64_t timeout_;  // seconds
  JoinLimits limits_;
  std::map<WaitId, Waiting> pending_;
  std::set<WaitId> complete_;                           // pending messages with every part
  std::set<std::pair<std::int64_t, WaitId>> byAge_;     // pending messages by earliest arrival
  std::size_t bytes_ = 0;                               // of every pending message
  std::uint64_t serial_ = 0;
  std::multimap<JoinKey, Done> done_;
  std::int64_t oldestDone_ = kNever; // no joined message is remembered longer
  bool dirty_ = false;
  int dropped_ = 0;
};

}  // namespace pdulink
