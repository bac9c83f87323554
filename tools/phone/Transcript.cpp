#include "Transcript.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace pdulink::phone {

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  static const char* kHex = "0123456789ABCDEF";
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else {
          out += "\\x";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        }
    }
  }
  return out;
}

Transcript::~Transcript() {
  if (file_) std::fclose(file_);
}

bool Transcript::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) {
    error = "cannot open transcript " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void Transcript::Write(const char* marker, std::string_view text, bool escape) {
  if (!file_) return;
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string body = escape ? EscapeBytes(text) : std::string(text);
  std::fprintf(file_, "%s.%03d %s %s\n", stamp, static_cast<int>(ms), marker, body.c_str());
  std::fflush(file_);  // a transcript is read while the phone runs, or after a crash
}

}  // namespace pdulink::phone
