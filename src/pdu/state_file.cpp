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

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out.push_back(c);
    }
  }
}

bool Unescape(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out.push_back(in[i]);
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case '\\': out.push_back('\\'); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      default: return false;
    }
  }
  return true;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
}

}  // namespace pdulink
