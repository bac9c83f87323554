#pragma once
// The file-system side of the watched directory, without Qt: the template's
// parts, the message line of an outgoing file, reading that line from a file
// no other program is still writing, and moving a file to its new name.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "own_files.h"

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
// ignored), in name order (case ignored); names the program gave files
// itself (IsOwnName) never match. False (errorText set) when dir cannot be read.
bool ListMatches(const std::string& dir, const std::string& pattern, std::vector<std::string>& names,
                 std::string& errorText);

enum class ReadResult { Ok, Unreadable, BeingWritten };

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

// What one look at a file found besides its first line.
struct Look {
  FileId id;                 // the file as it was opened and read
  bool futureStamp = false;  // no lease, and modified "later" than now
};

// The most of a first line that is read; a message line is far shorter
// (160 characters of text), and a huge file costs no more than this.
inline constexpr size_t kMaxLineBytes = 64 * 1024;

// Reads the first line (up to CR or LF) of path. A file that some program
// still holds open for writing is BeingWritten: a read lease is refused
// exactly then. Where no lease can be taken (another owner without the
// right to lease, a file system without leases), a file counts as being
// written while its size or time stamp differs from the previous look
// (previous, when there was one) or it was modified within the last second.
// A time stamp in the future says nothing about the age: such a file is
// taken once a previous look found it unchanged.
// useLease false asks only size and time (how the check behaves where
// leases are not to be had). look, when given, gets what was opened.
ReadResult ReadFirstLine(const std::string& path, std::string& line, bool useLease = true,
                         const FileId* previous = nullptr, Look* look = nullptr);

// The opt-in UTF-8 files. The most of a file's start that is read: room
// for a first line of kMaxLineBytes in UTF-16 with its byte-order mark.
inline constexpr size_t kMaxHeadBytes = 2 * kMaxLineBytes + 2;

// As ReadFirstLine, but the bytes of the file's start (up to kMaxHeadBytes)
// as they are, for a text whose line ends only its encoding tells.
ReadResult ReadFileHead(const std::string& path, std::string& head, bool useLease = true,
                        const FileId* previous = nullptr, Look* look = nullptr);

// The first line (up to CR or LF) of a file's start in UTF-8: a UTF-8 or
// UTF-16 (LE or BE) byte-order mark is honoured and removed, UTF-16 is
// converted. Not ok when the line is malformed; badOffset counts bytes from
// the start of the file. A head cut at kMaxHeadBytes loses the character
// the cut went through, and no more.
struct Utf8Line {
  bool ok = true;
  size_t badOffset = 0;
  std::string line;
};
Utf8Line FirstLineUtf8(std::string_view head);

// The number and the body of a UTF-8 message line. A number followed by a
// tab may be written with a leading "+" and the separators blank, "-", "("
// and ")", which are dropped ("+7 916 123-45-67<TAB>text"); otherwise, or
// when what stands before the first tab is no such number, the first blank
// ends the number as in SplitMessageLine. False when there is nothing to
// send.
bool SplitMessageLineUtf8(std::string_view line, std::string& number, std::string& body);

// Renames from to to without replacing an existing file; across file
// systems the file is copied to a temporary name beside to, flushed to
// disk, renamed to to and then removed; beforeCopy runs first (false: no
// copy), so that a record can name the copy a kill may leave next to the
// original. False when the file is still at its old name (the copy, if
// any, removed again); errno EEXIST when to was taken.
bool MoveFile(const std::string& from, const std::string& to, const std::function<bool()>& beforeCopy = {});
// Removes what a copy to path killed part way left: "<path>.<pid>-<n>.tmp".
void RemoveTemporariesOf(const std::string& path);

// Names the program gives files itself, which no template may take for an
// outgoing message (pdulink::IsOwnFileName, beside the names).
bool IsOwnName(std::string_view name);

// The record of the messages in flight, kept in the working directory: an
// entry is made just before a file's PDU is written, gets the phone's answer
// as soon as it is in, and goes once the file has been renamed. A file whose
// entry has no answer may have gone out or not: it is never sent again.
inline constexpr const char* kInFlightFile = pdulink::kInFlightFileName.data();
inline constexpr const char* kUnknownSuffix = pdulink::kUnknownSuffixName.data();
struct InFlight {
  enum class Answer { None, Sent, Failed };
  std::string fsPath;  // as the file system opens it
  std::string path;    // as the journal shows it (cp1251)
  FileId id;           // the file as it was read for the send
  Answer answer = Answer::None;
  // The part of a long message the answer is about; a message of one PDU
  // is 1/1, and its entry is written as before long messages.
  int seq = 1;
  int total = 1;
  // Set while the file is copied to another file system under this name
  // (file-system path): a complete copy found there at start means the
  // move only lacked removing the original.
  std::string movedTo = {};
};
std::string FormatInFlight(const std::vector<InFlight>& records);
// False when text is no record (cut short, foreign).
bool ParseInFlight(std::string_view text, std::vector<InFlight>& records);

// Reads the whole of a small file; false when it is not there or unreadable.
bool ReadSmallFile(const std::string& path, std::string& content);

}  // namespace watch
