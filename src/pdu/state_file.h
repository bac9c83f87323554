// Small state files the program rewrites as a whole (the concatenation
// reference, the parts waiting to be joined): each write replaces the file
// only once the new one is complete and on disk, and the directory entry is
// synced, so a crash leaves either the old or the new state.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace pdulink {

// Writes bytes as path's new content durably; false with the reason in
// `error` (the old content stays) on any failure.
bool WriteStateFile(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// The whole content of path; `exists` false (and true returned) when there
// is no such file; false when it is there but cannot be read.
bool ReadStateFile(const std::string& path, std::string& bytes, bool& exists);

// The records inside such files are lines of tab-separated fields; a text
// field has its backslash, tab, CR and LF escaped so that a record stays
// one line.
void AppendEscaped(std::string& out, std::string_view text);
// The text of an escaped field; false for a dangling or unknown escape.
bool Unescape(std::string_view in, std::string& out);
// The fields of one record line.
std::vector<std::string_view> SplitTabs(std::string_view line);
// Calls take(line) for every non-empty line of a state file's content; a
// first line equal to header is passed over.
template <typename Take>
void ForEachRecordLine(std::string_view bytes, std::string_view header, Take take) {
  for (bool first = true; !bytes.empty(); first = false) {
    const std::size_t nl = bytes.find('\n');
    const std::string_view line = bytes.substr(0, nl);
    bytes.remove_prefix(nl == std::string_view::npos ? bytes.size() : nl + 1);
    if ((first && line == header) || line.empty()) continue;
    take(line);
  }
}
// Reads path and calls take(line) for each of its records (see
// ForEachRecordLine); a missing file has none. False, with "cannot read
// PATH" in error, when the file is there but cannot be read.
template <typename Take>
bool ReadRecordFile(const std::string& path, std::string_view header, Take take, std::string* error) {
  std::string bytes;
  bool exists = false;
  if (!ReadStateFile(path, bytes, exists)) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  ForEachRecordLine(bytes, header, take);
  return true;
}
// A whole field as a number; false for anything else in it.
template <typename T>
bool ParseField(std::string_view text, T& value, int base = 10) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace pdulink
