#pragma once
// The inbox row of a received message, made from what the archive kept: the
// PDU decoded once more (its text always in UTF-8, whatever the files use),
// or a joined long message.
#include <string>

#include "Spool.h"

namespace pdulink {
struct JoinedMessage;
}

// The service centre's time stamp as the decoder shows it ("26-12-08
// 10:20:30 [+3]") in ISO 8601 with its zone ("2026-12-08T10:20:30+03:00");
// empty when it is not one.
std::string ScTimeIso(const std::string& timeText);

// stem: the archive files' path without extension; digest: PduDigest of
// the PDU. The key is the digest and the stem's file name, the same for
// the same message in every listing that finds it archived.
spool::InboxRow InboxRowFromPdu(const std::string& pduHex, const std::string& stem, const std::string& digest);

// A joined message: its text (cp1251 unless utf8Texts) and part count; the
// files are the joined pair, the PDUs stay with the parts' own rows.
spool::InboxRow InboxRowFromJoined(const pdulink::JoinedMessage& m, const std::string& txtPath, bool utf8Texts);
