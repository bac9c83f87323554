// pdulink-phone's command line: the options, their parsing and the usage
// text.
#pragma once

#include "Modem.h"

#include <cstdio>
#include <string>

namespace pdulink::phone {

struct Options {
  std::string link, control, transcript;
  std::string memories, smsc;
  int smCapacity = 30, meCapacity = 100;
  Millis ringInterval = 3000, latency = 0, chunkPause = 0;
  int chunkSize = 0;
};

void Usage(std::FILE* out);

// Reads argv into `options`. Returns -1 to go on, or the exit status when
// the program is done (help, version, or a bad option already reported).
int ParseOptions(int argc, char** argv, Options& options);

}  // namespace pdulink::phone
