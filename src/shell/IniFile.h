#pragma once
// INI file access with in-place edits: reading a key never changes the
// file, writing a key replaces only that key's line (or adds the key/section)
// and keeps every other byte, including comments, unknown sections and the
// file's own line endings.
#include <map>
#include <string>
#include <string_view>
#include <vector>

class IniFile {
 public:
  IniFile() = default;
  static IniFile FromText(std::string_view text);

  // Loads the file; false when it does not exist or cannot be read (the
  // object is then empty, as for a new file).
  bool Load(const std::string& path);

  // The value of key in section (both matched case-insensitively), blanks
  // around it removed and one pair of enclosing quotes stripped; def when the
  // key is missing. The first occurrence wins when a key repeats.
  std::string Read(std::string_view section, std::string_view key,
                   std::string_view def) const;

  // Every key of a section with its value, keys as written, first wins.
  std::vector<std::pair<std::string, std::string>> ReadSection(
      std::string_view section) const;

  // Replaces the key's line in place ("key=value"), or appends the key at the
  // end of the section, or appends the section at the end of the file.
  void Write(std::string_view section, std::string_view key,
             std::string_view value);

  std::string Text() const;

  // Writes the whole text to path. A read-only file, an unwritable directory
  // or a failed write gives false; a failed write never leaves a truncated
  // file behind when the directory allows a temporary file.
  bool SaveTo(const std::string& path) const;

 private:
  struct Line {
    std::string text;  // without its line ending
    std::string eol;   // "\r\n", "\n", "\r" or "" (last line)
  };
  // Index of the header line of each occurrence of the section, or npos.
  std::vector<size_t> SectionStarts(std::string_view section) const;
  size_t SectionEnd(size_t header) const;  // first line after the section

  std::vector<Line> lines_;
  std::string newline_ = "\r\n";  // used for lines this object adds
};
