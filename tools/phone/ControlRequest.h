// The words of one control line and the readers of its arguments, shared
// by the control commands: a reader that fails throws Failure, whose text
// becomes the "ERROR <reason>" reply.
#pragma once

#include "Control.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink::phone::control {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Lower(std::string_view s);

// Reads words off the front of a line; the remainder can be taken raw.
class Words {
 public:
  explicit Words(std::string_view text) : text_(text) {}
  bool Empty() {
    SkipBlanks();
    return pos_ >= text_.size();
  }
  // A blank-separated word; "double quoted" words may hold blanks.
  std::string Next(const char* what) {
    SkipBlanks();
    if (pos_ >= text_.size()) throw Failure(std::string("missing ") + what);
    std::string word;
    if (text_[pos_] == '"') {
      auto end = text_.find('"', pos_ + 1);
      if (end == std::string_view::npos) throw Failure("unterminated quote");
      word = std::string(text_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
    } else {
      auto end = text_.find_first_of(" \t", pos_);
      if (end == std::string_view::npos) end = text_.size();
      word = std::string(text_.substr(pos_, end - pos_));
      pos_ = end;
    }
    return word;
  }
  bool PeekOption() {
    SkipBlanks();
    auto end = text_.find_first_of(" \t", pos_);
    auto word = text_.substr(pos_, end == std::string_view::npos ? std::string_view::npos : end - pos_);
    // An option's key is a word of letters: "+CPMS=?" or "AT+CLCC=?" after
    // "fail" is a command pattern, not an option.
    auto eq = word.find('=');
    if (word.empty() || eq == 0 || eq == std::string_view::npos) return false;
    return std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(eq),
                       [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; });
  }
  // key=value options before the positional words.
  std::map<std::string, std::string> Options(std::initializer_list<const char*> allowed) {
    std::map<std::string, std::string> out;
    while (PeekOption()) {
      std::string word = Next("option");
      auto eq = word.find('=');
      std::string key = Lower(word.substr(0, eq));
      if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; }))
        throw Failure("unknown option " + key);
      out[key] = word.substr(eq + 1);
    }
    return out;
  }
  // Everything after the words taken so far, with one separating blank dropped.
  std::string Rest() {
    if (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    std::string rest(text_.substr(std::min(pos_, text_.size())));
    pos_ = text_.size();
    return rest;
  }
  void End() {
    if (!Empty()) throw Failure("unexpected \"" + Next("word") + "\"");
  }

 private:
  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  std::string_view text_;
  std::size_t pos_ = 0;
};

long Number(const std::string& text, const char* what, long lo, long hi);
Memory MemoryOption(const Modem& modem, const std::string& name);
Timestamp TimeOption(const std::map<std::string, std::string>& options);
int FreeSlots(Modem& modem, Memory memory);
// The memories of a list "SM,ME".
std::vector<Memory> MemoryList(const std::string& list);

// One control command in progress: its words, the phone, the actions for
// the I/O loop, and the reply so far.
struct Request {
  Words& w;
  Modem& m;
  ControlActions& actions;
  int& nextConcatReference;
  const std::function<Millis()>& clock;
  std::string& out;
  void Say(const std::string& line) { out += line + "\n"; }
};

}  // namespace pdulink::phone::control
