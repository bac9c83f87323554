#include "ReceivedRecord.h"

#include <fcntl.h>
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
  for (const ArchivedEntry& e : record.archived) {
    out.append(e.digest);
    if (e.done.Any()) {
      out.push_back('/');
      if (e.done.files) out.push_back('f');
      if (e.done.line) out.push_back('c');
      if (e.done.told) out.push_back('h');
    }
    out.append(" ").append(e.stem).push_back('\n');
  }
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
    std::string_view digest = line.substr(0, blank);
    ArchiveSteps done;
    if (size_t slash = digest.find('/'); slash != std::string_view::npos) {
      const std::string_view steps = digest.substr(slash + 1);
      done.files = steps.find('f') != std::string_view::npos;
      done.line = steps.find('c') != std::string_view::npos;
      done.told = steps.find('h') != std::string_view::npos;
      digest = digest.substr(0, slash);
    }
    record.archived.push_back({std::string(digest), std::string(line.substr(blank + 1)), done});
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
  // There, but saying nothing: a record whose bytes a crash lost.
  if (record.Empty()) record.listing = true;
  return true;
}

bool SaveReceivedRecord(const std::string& path, const ReceivedRecord& record, std::string* why) {
  if (record.Empty()) {
    // Not synced: if the record came back after a crash, a listing of the
    // read messages would follow, which archives nothing twice. The next
    // record written syncs the directory, this removal with it.
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    if (why) *why = std::string("remove: ") + std::strerror(errno);
    return false;
  }
  if (record.archived.empty()) {
    // A listing owed, nothing else: the file's name on disk is all that
    // counts (a record found empty or cut short is a listing owed), so its
    // bytes are not synced, only the directory that names it. This is the
    // record of every automatic reading turn.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (why) *why = std::string("write: ") + std::strerror(errno);
      return false;
    }
    const std::string text = FormatReceivedRecord(record);
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int code = errno;
    ::close(fd);
    if (!written) {
      if (why) *why = std::string("write: ") + std::strerror(code);
      return false;
    }
    if (!pdulink::SyncParentDirectory(path)) {
      if (why) *why = std::string("sync directory: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
  return pdulink::ReplaceFileDurably(path, FormatReceivedRecord(record), why);
}

bool StemArchived(const std::string& stem) {
  return (Exists(stem + ".txt") && Exists(stem + ".xml")) || Exists(stem + ".pdu");
}

void RemoveStemFiles(const std::string& stem) {
  for (const char* ext : {".txt", ".xml", ".pdu"}) ::unlink((stem + ext).c_str());
}
