#include "own_files.h"

#include <strings.h>

#include "delivery_reports.h"
#include "sms_archive.h"
#include "sms_concat.h"
#include "sms_join.h"

namespace pdulink {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsNameOrTemporaryOf(std::string_view name, std::string_view base) {
  return SameName(name, base) || IsTemporaryName(name, base);
}

}  // namespace

bool IsTemporaryName(std::string_view name, std::string_view base) {
  if (name.size() <= base.size() + 5 || !SameName(name.substr(0, base.size()), base)) return false;
  std::string_view rest = name.substr(base.size());
  if (rest[0] != '.' || rest.substr(rest.size() - 4) != ".tmp") return false;
  rest = rest.substr(1, rest.size() - 5);
  const std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos || dash == 0 || dash + 1 == rest.size()) return false;
  for (std::size_t i = 0; i < rest.size(); ++i)
    if (i != dash && (rest[i] < '0' || rest[i] > '9')) return false;
  return true;
}

bool IsOwnFileName(std::string_view name) {
  if (name == kInFlightFileName || name == std::string(kInFlightFileName) + ".tmp") return true;
  for (std::string_view own : {kInFlightFileName, kOwedRecordFileName, kValidityFileName, kLowBatteryFileName,
                               kCollectiveFileName, kConcatRefFileName, kJoinStateFileName, kSentRecordFileName})
    if (IsNameOrTemporaryOf(name, own)) return true;
  constexpr std::size_t kStampEnd = 3 + 17;
  if (name.size() <= kStampEnd || !SameName(name.substr(0, 3), "SMS")) return false;
  for (std::size_t i = 3; i < kStampEnd; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  std::string_view tail = name.substr(kStampEnd);
  // A joined long message: the stamp of its last part, then _joined or
  // _incomplete, then the archive's extension.
  for (std::string_view joined : {kJoinedSuffix, kIncompleteSuffix})
    if (tail.size() > joined.size() && SameName(tail.substr(0, joined.size()), joined)) {
      tail.remove_prefix(joined.size());
      break;
    }
  for (std::string_view own : {std::string_view(".snd"), std::string_view(".err"), kUnknownSuffixName,
                               std::string_view(".txt"), std::string_view(".xml"), std::string_view(".pdu"),
                               kDeliveredSuffix, kUndeliverableSuffix})
    if (IsNameOrTemporaryOf(tail, own)) return true;
  return false;
}

}  // namespace pdulink
