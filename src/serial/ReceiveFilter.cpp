#include "ReceiveFilter.h"

namespace serial_impl {

void TReceiveFilter::Apply(const char* in, size_t n, std::string& out) {
  out.reserve(out.size() + n);
  auto keep = [&](char c) {
    if (opt_.StripNulls && c == 0) return;
    out.push_back(c);
  };
  for (size_t i = 0; i < n; ++i) {
    const char c = in[i];
    if (!opt_.Unmark) {
      keep(c);
      continue;
    }
    switch (state_) {
      case 0:
        if (static_cast<unsigned char>(c) == 0xFF) state_ = 1;
        else keep(c);
        break;
      case 1:
        if (static_cast<unsigned char>(c) == 0xFF) {
          keep(c);
          state_ = 0;
        } else if (c == 0) {
          state_ = 2;
        } else {  // not a mark after all: keep both bytes
          keep(static_cast<char>(0xFF));
          keep(c);
          state_ = 0;
        }
        break;
      default:
        keep(opt_.Replace ? opt_.ErrorChar : c);
        state_ = 0;
        break;
    }
  }
}

}  // namespace serial_impl
