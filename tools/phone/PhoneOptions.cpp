#include "PhoneOptions.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

namespace pdulink::phone {
namespace {

enum { kLink = 1, kControl, kTranscript, kMemories, kSmCap, kMeCap, kSmsc, kRing, kLatency, kChunks, kHelp, kVersion };

const option kLong[] = {
    {"link", required_argument, nullptr, kLink},
    {"control", required_argument, nullptr, kControl},
    {"transcript", required_argument, nullptr, kTranscript},
    {"memories", required_argument, nullptr, kMemories},
    {"sm-capacity", required_argument, nullptr, kSmCap},
    {"me-capacity", required_argument, nullptr, kMeCap},
    {"smsc", required_argument, nullptr, kSmsc},
    {"ring-interval", required_argument, nullptr, kRing},
    {"latency", required_argument, nullptr, kLatency},
    {"chunks", required_argument, nullptr, kChunks},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

bool ParseNumber(const char* text, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

int Bad(const char* what, const char* value) {
  std::fprintf(stderr, "pdulink-phone: bad value for --%s: %s\n", what, value);
  return 2;
}

// "SIZE,PAUSE" of --chunks.
bool ParseChunks(const std::string& text, Options& options) {
  auto comma = text.find(',');
  long size = 0, pause = 0;
  if (comma == std::string::npos || !ParseNumber(text.substr(0, comma).c_str(), 0, 65536, size) ||
      !ParseNumber(text.substr(comma + 1).c_str(), 0, 60000, pause))
    return false;
  options.chunkSize = static_cast<int>(size);
  options.chunkPause = pause;
  return true;
}

// A number option in [lo, hi] into `out`; false when it is not one.
template <typename T>
bool NumberOption(const char* text, long lo, long hi, T& out) {
  long v = 0;
  if (!ParseNumber(text, lo, hi, v)) return false;
  out = static_cast<T>(v);
  return true;
}

// One option as getopt_long returned it: -1 to go on, or the exit status.
int ApplyOption(int opt, const char* value, const char* word, Options& options) {
  switch (opt) {
    case kLink: options.link = value; return -1;
    case kControl: options.control = value; return -1;
    case kTranscript: options.transcript = value; return -1;
    case kMemories: options.memories = value; return -1;
    case kSmsc: options.smsc = value; return -1;
    case kSmCap: return NumberOption(value, 0, 1000, options.smCapacity) ? -1 : Bad("sm-capacity", value);
    case kMeCap: return NumberOption(value, 0, 1000, options.meCapacity) ? -1 : Bad("me-capacity", value);
    case kRing: return NumberOption(value, 100, 600000, options.ringInterval) ? -1 : Bad("ring-interval", value);
    case kLatency: return NumberOption(value, 0, 600000, options.latency) ? -1 : Bad("latency", value);
    case kChunks: return ParseChunks(value, options) ? -1 : Bad("chunks", value);
    case kHelp: Usage(stdout); return 0;
    case kVersion: std::printf("pdulink-phone %s\n", PDULINK_VERSION_TEXT); return 0;
    default:
      std::fprintf(stderr, "pdulink-phone: unknown or incomplete option %s\n", word);
      Usage(stderr);
      return 2;
  }
}

}  // namespace

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: pdulink-phone [OPTIONS]\n"
               "A simulated GSM phone on a pseudo-terminal, answering AT commands in SMS PDU mode.\n\n"
               "  --link PATH          put a symbolic link to the device at PATH (e.g. /tmp/phone0)\n"
               "  --control PATH       listen for control commands on a UNIX socket at PATH\n"
               "  --transcript FILE    append every received line and every sent byte to FILE\n"
               "  --memories LIST      message memories offered, e.g. SM or SM,ME,MT (default SM,ME,MT)\n"
               "  --sm-capacity N      slots in SM (default 30)\n"
               "  --me-capacity N      slots in ME (default 100)\n"
               "  --smsc NUMBER        service-centre number (default +12345678901)\n"
               "  --ring-interval MS   pause between RINGs of an incoming call (default 3000)\n"
               "  --latency MS         delay before each reply (default 0)\n"
               "  --chunks SIZE,PAUSE  split replies into SIZE-byte writes PAUSE ms apart\n"
               "  --help, --version\n\n"
               "It runs until SIGTERM or SIGINT and then removes the link and the socket.\n"
               "Talk to the control socket with pdulink-phonectl PATH COMMAND (see 'help').\n");
}

int ParseOptions(int argc, char** argv, Options& options) {
  int opt;
  opterr = 0;
  while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    const int status = ApplyOption(opt, optarg, argv[optind - 1], options);
    if (status >= 0) return status;
  }
  if (optind < argc) {
    std::fprintf(stderr, "pdulink-phone: unexpected argument %s\n", argv[optind]);
    return 2;
  }
  return -1;
}

}  // namespace pdulink::phone
