// The pieces the modem's command families share: limits, result codes,
// parameter parsing, one parsed command and one row of the command table.
// Only the modem's own files include this.
#pragma once

#include "Modem.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace pdulink::phone {

inline constexpr std::size_t kMaxLine = 1024;  // longer command lines are rejected
inline constexpr std::size_t kMaxPduText = 2 * 200;
inline constexpr char kCtrlZ = 0x1A;
inline constexpr char kEsc = 0x1B;
inline constexpr int kMaxTpdu = 164;  // longest SMS-SUBMIT TPDU
inline constexpr std::size_t kMaxCalls = 7;  // calls a GSM phone holds at once

// TS 27.005 3.2.5 <err> values used here.
inline constexpr int kCmsNotAllowed = 302;
inline constexpr int kCmsNotSupported = 303;
inline constexpr int kCmsInvalidPdu = 304;
inline constexpr int kCmsSimNotInserted = 310;
inline constexpr int kCmsSimPinRequired = 311;
inline constexpr int kCmsSimBusy = 314;
inline constexpr int kCmsSimPukRequired = 316;
inline constexpr int kCmsInvalidIndex = 321;
inline constexpr int kCmsMemoryFull = 322;
// TS 27.007 9.2.1 <err>.
inline constexpr int kCmeNotAllowed = 3;
inline constexpr int kCmeNotSupported = 4;
inline constexpr int kCmeSimNotInserted = 10;
inline constexpr int kCmeSimBusy = 14;
inline constexpr int kCmeIncorrectPassword = 16;

inline std::string Upper(std::string_view s) {
  std::string out;
  for (char c : s) out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return out;
}

inline std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

struct Param {
  std::string value;
  bool quoted = false;
  bool present = false;
};

// Splits a parameter list at commas outside double quotes. False on an
// unterminated string.
inline bool SplitParams(std::string_view args, std::vector<Param>& out) {
  out.clear();
  Param current;
  bool inQuote = false;
  for (char c : args) {
    if (inQuote) {
      if (c == '"')
        inQuote = false;
      else
        current.value.push_back(c);
    } else if (c == '"') {
      inQuote = true;
      current.quoted = true;
      current.present = true;
    } else if (c == ',') {
      out.push_back(current);
      current = Param{};
    } else if (c != ' ') {
      current.value.push_back(c);
      current.present = true;
    }
  }
  if (inQuote) return false;
  out.push_back(current);
  return true;
}

inline bool ToInt(const Param& p, int& out, int lo, int hi) {
  if (!p.present || p.quoted || p.value.empty() || p.value.size() > 9) return false;
  for (char c : p.value)
    if (c < '0' || c > '9') return false;
  int v = std::stoi(p.value);
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

inline bool IsDigitString(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "+123" -> digits, 145; "123" -> digits, 129.
inline bool SplitNumber(std::string_view number, std::string& digits, int& type) {
  bool plus = !number.empty() && number[0] == '+';
  std::string_view d = plus ? number.substr(1) : number;
  if (!IsDigitString(d) || d.size() > 20) return false;
  digits = std::string(d);
  type = plus ? 145 : 129;
  return true;
}

struct Modem::Command {
  enum class Form { Action, Set, Read, Test };
  std::string name;  // "E", "&F", "+CMGL", "D", "S"
  Form form = Form::Action;
  std::string args;  // after '=', digits of a basic command, or the dial string
  std::string text;  // upper case as written, for fault matching
};

// The parameters of a set command ("AT+X=a,b"); empty for other forms.
// The dispatcher has already refused an unterminated string.
inline std::vector<Param> SetParams(const Modem::Command& cmd) {
  std::vector<Param> ps;
  if (cmd.form == Modem::Command::Form::Set) SplitParams(cmd.args, ps);
  return ps;
}

// A command of the table: its name ("E", "&F", "+CMGL"), its handler, and
// whether it needs a ready SIM (message storage and sending, TS 27.005 3.2.5).
struct Modem::CommandRow {
  const char* name;
  Result (Modem::*handler)(const Command& cmd);
  bool needsSim = false;
};

}  // namespace pdulink::phone
