// The names of the files pdulink writes itself, in one place, and the one
// rule that keeps every one of them from being taken for a file to send
// (a watched directory may be the log or the working directory).
#pragma once

#include <string_view>

namespace pdulink {

// Fixed names in the working directory.
inline constexpr std::string_view kInFlightFileName = ".pdulink-inflight";  // messages being sent
inline constexpr std::string_view kOwedRecordFileName = "smsOwed.rec";      // a listing not yet settled
inline constexpr std::string_view kValidityFileName = "sms_vp.ini";         // validity period
inline constexpr std::string_view kLowBatteryFileName = "smsLowBat.f";      // the low-battery flag
// The others (the collective file, the concatenation counter, the join
// state, the record of the parts sent) are named beside their writers in
// sms_archive.h, sms_concat.h, sms_join.h and delivery_reports.h.

// Suffixes after "SMS" and the 17-digit stamp (TimeStampName): sent, failed
// and unknown-outcome files, the archive of received messages and calls,
// delivery reports, joined long messages.
inline constexpr std::string_view kUnknownSuffixName = ".unknown";

// Whether name (no directory) is a file pdulink writes: one of the fixed
// names, a stamped name with one of the suffixes, or the temporary file of
// a durable write of either ("<name>.<pid>-<n>.tmp"). Case is ignored, as
// templates match.
bool IsOwnFileName(std::string_view name);

// The temporary name a durable write of path uses: "<path>.<pid>-<n>.tmp".
bool IsTemporaryName(std::string_view name, std::string_view base);

}  // namespace pdulink
