// Small state files the program rewrites as a whole (the concatenation
// reference, the parts waiting to be joined): each write replaces the file
// only once the new one is complete and on disk, and the directory entry is
// synced, so a crash leaves either the old or the new state.
#pragma once

#include <string>
#include <string_view>

namespace pdulink {

// Writes bytes as path's new content durably; false with the reason in
// `error` (the old content stays) on any failure.
bool WriteStateFile(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// The whole content of path; `exists` false (and true returned) when there
// is no such file; false when it is there but cannot be read.
bool ReadStateFile(const std::string& path, std::string& bytes, bool& exists);

}  // namespace pdulink
