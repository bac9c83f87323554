// Writing the archive files so that a crash or a kill never costs a message:
// a file appears under its name only complete and on disk, never in place of
// another file, and a line appended to the collective file is on disk before
// the caller goes on (and is removed again when it could not be written
// whole).
#pragma once

#include <string>
#include <string_view>

namespace pdulink {

// Writes bytes into a temporary file of its own beside path (created
// exclusively, so two writers never share one), flushes them to the disk,
// closes the file and gives it the name path without replacing anything
// that is there. False, with the reason in `error` and no file left behind,
// on any failure; `taken` (when given) tells that path already existed, so
// that the caller can choose another name.
bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string* error = nullptr,
                      bool* taken = nullptr);

// The same, but the new file replaces one already under path, and the
// directory is synced afterwards: for a small record the program rewrites.
bool ReplaceFileDurably(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Removes path and syncs its directory; true when it is gone (or never was).
bool RemoveFileDurably(const std::string& path, std::string* error = nullptr);

// Appends bytes to path with one write and flushes them to the disk;
// creates the file when it does not exist (`created` tells which). A write
// that fails part way is cut back, so the file never ends in half a line.
bool AppendDurably(const std::string& path, std::string_view bytes, bool& created, std::string* error = nullptr);

// Flushes the directory entry of path's directory (so renames in it survive
// a power loss). A file system that cannot sync a directory at all (EINVAL,
// ENOTSUP) counts as synced: its files were synced one by one. False when
// the directory cannot be opened or its sync fails otherwise.
bool SyncParentDirectory(const std::string& path);

// Removes from dir the temporary files (see WriteFileDurably) that a
// killed writer left behind: "<name>.<pid>-<n>.tmp" for a name that ours
// accepts and a process that no longer runs. Returns how many went.
int RemoveDeadTemporaries(const std::string& dir, bool (*ours)(std::string_view name));

// An exclusive lock on a directory (flock on the directory itself, so no
// file is added to it), held until Release or destruction: one gateway per
// directory of state files.
class DirectoryLock {
 public:
  enum class Result { Held, Taken, Unusable };
  DirectoryLock() = default;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() { Release(); }
  // Holds dir (releasing another directory held before): Taken when another
  // process holds it, Unusable when it cannot be opened.
  Result Hold(const std::string& dir);
  void Release();
  // Whether dir is the directory held (the same file, whatever the path).
  bool Holds(const std::string& dir) const;

 private:
  int fd_ = -1;
  std::string dir_;
};

}  // namespace pdulink
