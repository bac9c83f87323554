#include "ReceivedRecord.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "archive_files.h"

namespace {

constexpr std::string_view kListingLine = "listing";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string FormatReceivedRecord(const ReceivedRecord& record) {
  std::string out;
  if (record.listing) out.append(kListingLine).push_back('\n');
  for (const ArchivedEntry& e : record.archived) out.append(e.digest).append(" ").append(e.stem).push_back('\n');
  return out;
}

ReceivedRecord ParseReceivedRecord(std::string_view text) {
  ReceivedRecord record;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == kListingLine) {
      record.listing = true;
      continue;
    }
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank + 1 >= line.size()) continue;
    record.archived.push_back({std::string(line.substr(0, blank)), std::string(line.substr(blank + 1))});
  }
  return record;
}

std::string PduDigest(std::string_view pduHex) {
  QByteArray digits;
  digits.reserve(static_cast<qsizetype>(pduHex.size()));
  for (char c : pduHex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.append(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return QCryptographicHash::hash(digits, QCryptographicHash::Sha1).toHex().toStdString();
}

bool LoadReceivedRecord(const std::string& path, ReceivedRecord& record) {
  record = {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return !Exists(path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  record = ParseReceivedRecord(text.str());
  return true;
}

bool SaveReceivedRecord(const std::string& path, const ReceivedRecord& record, std::string* why) {
  if (record.Empty()) return pdulink::RemoveFileDurably(path, why);
  return pdulink::ReplaceFileDurably(path, FormatReceivedRecord(record), why);
}

bool StemArchived(const std::string& stem) {
  return (Exists(stem + ".txt") && Exists(stem + ".xml")) || Exists(stem + ".pdu");
}

void RemoveStemFiles(const std::string& stem) {
  for (const char* ext : {".txt", ".xml", ".pdu"}) ::unlink((stem + ext).c_str());
}
