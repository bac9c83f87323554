// Writing the archive files so that a crash or a kill never costs a message:
// a file appears under its name only complete and on disk, and a line
// appended to the collective file is on disk before the caller goes on
// (and is removed again when it could not be written whole).
#pragma once

#include <string>
#include <string_view>

namespace pdulink {

// Writes bytes under a temporary name beside path, flushes them to the
// disk, closes the file and renames it to path (replacing an older file).
// False, with the reason in `error` and no file left behind, on any failure.
bool WriteFileDurably(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Appends bytes to path with one write and flushes them to the disk;
// creates the file when it does not exist (`created` tells which). A write
// that fails part way is cut back, so the file never ends in half a line.
bool AppendDurably(const std::string& path, std::string_view bytes, bool& created, std::string* error = nullptr);

// Flushes the directory entry of path's directory (so renames in it survive
// a power loss). False when the directory cannot be opened or synced.
bool SyncParentDirectory(const std::string& path);

}  // namespace pdulink
