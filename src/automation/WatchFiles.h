#pragma once
// The file-system side of the watched directory, without Qt: the template's
// parts, the message line of an outgoing file, reading that line from a file
// no other program is still writing, and moving a file to its new name.
#include <string>
#include <string_view>
#include <vector>

namespace watch {

// "out/smss*.txt" -> directory "out", pattern "smss*.txt". "/" and "\" both
// end the directory part; the directory is trimmed of blanks.
struct Template {
  std::string dir;
  std::string pattern;
};
Template SplitTemplate(std::string_view text);

// The number and the body of an outgoing file's first line (control
// characters made blanks, runs of them one blank); false when the line has
// no blank, so there is nothing to send.
bool SplitMessageLine(std::string_view line, std::string& number, std::string& body);

// Regular, not hidden, entries of dir whose names match the pattern (case
// ignored), in name order (case ignored). False (errorText set) when dir cannot be read.
bool ListMatches(const std::string& dir, const std::string& pattern, std::vector<std::string>& names,
                 std::string& errorText);

enum class ReadResult { Ok, Unreadable, BeingWritten };

// The most of a first line that is read; a message line is far shorter
// (160 characters of text), and a huge file costs no more than this.
inline constexpr size_t kMaxLineBytes = 64 * 1024;

// Reads the first line (up to CR or LF) of path. A file that some program
// still holds open for writing is BeingWritten: a read lease is refused
// exactly then. Where no lease can be taken (another owner without the
// right to lease, a file system without leases), a file modified within
// the last second counts as being written instead.
// useLease false asks only the modification time (how the check behaves
// where leases are not to be had).
ReadResult ReadFirstLine(const std::string& path, std::string& line, bool useLease = true);

// Renames from to to without replacing an existing file; across file
// systems the file is copied, flushed to disk and then removed. False when
// the file is still at its old name (the copy, if any, removed again).
bool MoveFile(const std::string& from, const std::string& to);

// Identity of a file, to tell a remembered file from a new one of the same
// name (inode numbers are reused at once, so size and modification time
// count too); false when the path is no longer there.
struct FileId {
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  long long size = 0;
  long long mtimeNs = 0;
  bool operator==(const FileId&) const = default;
};
bool IdentifyFile(const std::string& path, FileId& id);

}  // namespace watch
