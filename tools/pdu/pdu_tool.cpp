// pdulink-pdu's command line: the usage text, the options, and the command
// they run.
#include "pdu_tool.h"

#include <ostream>

#include "pdu_tool_commands.h"

namespace pdulink::pdutool {
namespace {

constexpr std::string_view kUsage =
    "Usage: pdulink-pdu [--json] [--utf8] decode [HEX...]\n"
    "       pdulink-pdu [--json] [--utf8] encode [--flash] [--vp N] [--smsc NUMBER] [--report]\n"
    "                   [--multipart [--ref N] [--ref16]] [--shift LIST] NUMBER TEXT\n"
    "       pdulink-pdu --help | --version\n"
    "\n"
    "Commands:\n"
    "  decode     Decode SMS PDUs as a phone lists them in PDU mode (the\n"
    "             service-centre field first): SMS-DELIVER, SMS-SUBMIT and\n"
    "             SMS-STATUS-REPORT. Each HEX argument is one PDU; without\n"
    "             one, standard input is read, one PDU per line, and the\n"
    "             output answers every input line in turn (numbered by line;\n"
    "             with --json one line each): a blank line is an error, AT\n"
    "             command lines and \"+...\"/\"OK\" reply lines are skipped,\n"
    "             so a modem listing can be pasted as it is.\n"
    "  encode     Build the SMS-SUBMIT PDU that pdulink sends for NUMBER\n"
    "             (a leading \"+\" allowed) and TEXT (UTF-8; several words are\n"
    "             joined by blanks; characters Windows-1251 lacks become \"?\"\n"
    "             unless --utf8),\n"
    "             and print it with the AT+CMGS command line that goes before\n"
    "             it. The text is packed in the GSM 7-bit alphabet, or as UCS2\n"
    "             when it holds Cyrillic letters; what does not fit into one\n"
    "             message is dropped (with --multipart it is sent in parts).\n"
    "\n"
    "Options:\n"
    "  --json         one JSON object per PDU and line, with the decoder's\n"
    "                 fields under their own names, texts in UTF-8; for\n"
    "                 encode: Pdu, CmgsLength and UserDataLength\n"
    "  --utf8         as the gateway with Utf8Files=1: decode shows the\n"
    "                 full text (every UCS2 character, the euro sign, 8-bit\n"
    "                 data as hex); encode keeps every character: the GSM\n"
    "                 7-bit alphabet with its extension table when it holds\n"
    "                 them all, UCS2 otherwise\n"
    "  --flash        encode: a class 0 (flash) message\n"
    "  --vp N         encode: relative validity period 0..255 (default 167,\n"
    "                 one day)\n"
    "  --smsc NUMBER  encode: this service centre instead of the phone's own\n"
    "  --report       encode: ask for a status report\n"
    "  --multipart    encode: a text longer than one message becomes\n"
    "                 concatenated parts (153 septets or 67 UCS2 characters\n"
    "                 each), one line per part: the PDU, a blank and the\n"
    "                 AT+CMGS command (--json: one object per part)\n"
    "  --ref N        encode --multipart: the concatenation reference\n"
    "                 (default 0; 0..255, with --ref16 0..65535)\n"
    "  --ref16        encode --multipart: a 16-bit reference element\n"
    "  --shift LIST   encode: as the gateway with ShiftTables=LIST (implies\n"
    "                 --utf8): national language shift tables, e.g. tr,es,pt\n"
    "                 (also bn gu hi kn ml or pa ta te ur), taken when they\n"
    "                 need fewer parts than the default alphabet or UCS2\n"
    "  -h, --help     show this help\n"
    "  -V, --version  show the version\n"
    "\n"
    "Exit status: 0 every PDU decoded (encode: built), 1 some PDU failed\n"
    "(encode: invalid number or service centre, more than 255 parts), 2 usage\n"
    "error.\n";

struct CommandEntry {
  std::string_view name;
  Command run;
};

constexpr CommandEntry kCommands[] = {
    {"decode", &Decode},
    {"encode", &Encode},
};

constexpr int kGoOn = -1;

// "--vp N" or "--vp=N" at args[i], likewise --smsc, --ref and --shift;
// false when args[i] is not `name`.
bool ValueOption(const std::vector<std::string>& args, size_t& i, std::string_view name,
                 std::optional<std::string>& into) {
  const std::string& a = args[i];
  if (a == name) {
    // A missing value leaves an empty one, which encode refuses.
    into = i + 1 < args.size() ? args[++i] : std::string();
    return true;
  }
  if (a.size() > name.size() && a.compare(0, name.size(), name) == 0 && a[name.size()] == '=') {
    into = a.substr(name.size() + 1);
    return true;
  }
  return false;
}

// The option at args[i] (moving i past its value): kGoOn, or the exit
// status of help, version or an unknown option.
int ReadOption(const std::vector<std::string>& args, size_t& i, Options& opt, std::ostream& out,
               std::ostream& err) {
  const std::string& a = args[i];
  if (a == "-h" || a == "--help") {
    out << kUsage;
    return kExitOk;
  }
  if (a == "-V" || a == "--version") {
    out << "pdulink-pdu " << PDULINK_VERSION_TEXT << '\n';
    return kExitOk;
  }
  if (a == "--json") opt.json = true;
  else if (a == "--utf8") opt.utf8 = true;
  else if (a == "--flash") opt.flash = true;
  else if (a == "--report") opt.report = true;
  else if (a == "--multipart") opt.multipart = true;
  else if (a == "--ref16") opt.ref16 = true;
  else if (!ValueOption(args, i, "--vp", opt.vp) && !ValueOption(args, i, "--smsc", opt.smsc) &&
           !ValueOption(args, i, "--ref", opt.ref) && !ValueOption(args, i, "--shift", opt.shift)) {
    err << "pdulink-pdu: unknown option '" << a << "'\n"
        << "Try 'pdulink-pdu --help'.\n";
    return kExitUsage;
  }
  return kGoOn;
}

const CommandEntry* FindCommand(std::string_view name) {
  const CommandEntry* command = nullptr;
  for (const CommandEntry& c : kCommands) {
    if (c.name == name) command = &c;
  }
  return command;
}

int RunCommand(const CommandEntry* command, const Options& opt, const std::vector<std::string>& operands,
               std::istream& in, std::ostream& out, std::ostream& err) {
  if (command == nullptr) {
    err << "pdulink-pdu: no command given\n" << kUsage;
    return kExitUsage;
  }
  if (opt.EncodeOnly() && command->run != &Encode) {
    err << "pdulink-pdu: --flash, --vp, --smsc, --report, --multipart, --ref, --ref16 and --shift belong to "
           "encode\n";
    return kExitUsage;
  }
  return command->run(opt, operands, in, out, err);
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
  Options opt;
  const CommandEntry* command = nullptr;
  std::vector<std::string> operands;
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!endOfOptions && a == "--") {
      endOfOptions = true;
    } else if (!endOfOptions && a.size() > 1 && a[0] == '-') {
      if (const int status = ReadOption(args, i, opt, out, err); status != kGoOn) return status;
    } else if (command == nullptr) {
      command = FindCommand(a);
      if (command == nullptr) {
        err << "pdulink-pdu: unknown command '" << a << "'\n"
            << "Try 'pdulink-pdu --help'.\n";
        return kExitUsage;
      }
    } else {
      operands.push_back(a);
    }
  }
  return RunCommand(command, opt, operands, in, out, err);
}

}  // namespace pdulink::pdutool
