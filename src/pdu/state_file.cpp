#include "state_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "archive_files.h"

namespace pdulink {

bool WriteStateFile(const std::string& path, std::string_view bytes, std::string* error) {
  return ReplaceFileDurably(path, bytes, error);
}

bool ReadStateFile(const std::string& path, std::string& bytes, bool& exists) {
  bytes.clear();
  struct stat st {};
  exists = ::stat(path.c_str(), &st) == 0;
  if (!exists) return true;
  if (!S_ISREG(st.st_mode)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) return false;
  bytes = std::move(all).str();
  return true;
}

}  // namespace pdulink
