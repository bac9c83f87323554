#pragma once
// Post-processing of the bytes read from the device.
#include <cstddef>
#include <cstdint>
#include <string>

namespace serial_impl {

// With parity checking on, the terminal driver marks a byte received with a
// parity or framing error as "\377 \0 byte" and doubles a real "\377". This
// filter removes the marks, keeping the received byte or replacing it with the
// error character, and drops NUL bytes when asked. A mark split across two
// reads is completed by the next call.
class TReceiveFilter {
 public:
  struct Options {
    bool Unmark = false;        // parity checking on: marks are present
    bool Replace = false;       // replace a marked byte with ErrorChar
    char ErrorChar = 0;
    bool StripNulls = false;
  };

  void SetOptions(const Options& o) { opt_ = o; }
  void Reset() { state_ = 0; }

  // Appends the filtered form of `n` bytes of `in` to `out`.
  void Apply(const char* in, size_t n, std::string& out);

 private:
  Options opt_;
  int state_ = 0;  // 0 plain, 1 after \377, 2 after \377 \0
};

}  // namespace serial_impl
