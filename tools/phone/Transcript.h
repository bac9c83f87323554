// The transcript file: every line the phone received and every burst it
// sent, time-stamped, with control characters written as escapes.
//
//   2025-06-19 22:22:17.123 <- AT+CMGL=4\r
//   2025-06-19 22:22:17.124 -> \r\n+CMGL: 1,0,,22\r\n0791...\r\n\r\nOK\r\n
//   2025-06-19 22:22:18.000 -- host closed the device
//   2025-06-19 22:22:18.500 ## ring +4912345
//
// "<-" is what the host wrote to the phone, "->" what the phone wrote, "--"
// an event of the device, "##" a control-channel command.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace pdulink::phone {

// CR, LF, TAB and backslash as \r \n \t \\, other bytes outside printable
// ASCII as \xHH (so Ctrl-Z shows as \x1A and ESC as \x1B).
std::string EscapeBytes(std::string_view bytes);

class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }
  // `marker` is one of "<-", "->", "--", "##"; `text` is escaped for "<-"/"->".
  void Write(const char* marker, std::string_view text, bool escape = true);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace pdulink::phone
