// The archive of a received or stored message, as pure formatting: the
// journal report, the lines of the message view, the .txt and .xml bytes
// and the line of the collective file, all built from a decoded message.
// Writing them to disk is in archive_files.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sms_decode.h"

namespace pdulink {

// Name of the collective file in the log directory.
inline constexpr std::string_view kCollectiveFileName = "PDULINKL.TXT";

// Everything the archive shows or writes for one successfully decoded
// message. Texts are cp1251, or UTF-8 when the decoder's Utf8 was set (the
// .txt and collective bytes are then UTF-8 without a byte-order mark).
struct ArchiveReport {
  // Journal lines of the parse report, in order, from the empty first line
  // through the message line (a line may hold CR LF: the journal shows it
  // as several).
  std::vector<std::string> journal;
  // Lines of the message view, which are also the lines of the .txt file and
  // of the collective line. A text with CR LF gives several lines.
  std::vector<std::string> view;
  // The XML element without its BODY line: "<SMS", then one attribute per
  // line (NAME="value", values escaped).
  std::vector<std::string> attributes;
  // "(" + header hex + ") " + text with a user-data header, else the text.
  std::string messageLine;
  // The text escaped for an attribute value.
  std::string escapedBody;
};

// The report of a message whose decode succeeded (HasError false).
ArchiveReport BuildArchiveReport(const tSMSDecode& sms);

// A text made safe for an XML attribute value between double quotes: "&"
// first, then the double quote, "<" and ">" become entities, and a control
// character that XML 1.0 cannot hold (below 0x20 other than tab, CR and LF)
// becomes "?".
std::string EscapeXmlAttribute(std::string_view value);

// With the DOS option the third view line (index 2) goes into cp866; a view
// of two lines or fewer stays as it is.
void ApplyDosCodepage(std::vector<std::string>& view);

// The .txt bytes: every view line followed by CR LF.
std::string ArchiveTxtBytes(const std::vector<std::string>& view);

// The .xml bytes: FF FE, then the attribute lines and the BODY line, each
// followed by CR LF, in UTF-16LE. With utf8 the report's texts are UTF-8
// (a decoder with Utf8 set) and characters above the basic plane become
// surrogate pairs.
std::string ArchiveXmlBytes(const ArchiveReport& report, bool utf8 = false);

// One line of the collective file: the date and time, then " " + line for
// every view line (a CR or LF inside a line written as a blank), then CR LF.
std::string CollectiveLine(std::string_view dateTime, const std::vector<std::string>& view);

}  // namespace pdulink
