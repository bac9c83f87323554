// pdulink-phone: a simulated GSM phone behind a pseudo-terminal.
//
// One thread, one poll() loop: the pty master (the "serial line"), the
// control socket and its clients, a signalfd for SIGTERM/SIGINT, and timers
// for delayed or chunked replies and for RING.

#include "PhoneLoop.h"
#include "PhoneOptions.h"

#include <cstdio>
#include <string>

using namespace pdulink::phone;

int main(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;
  Phone phone(options);
  std::string error;
  if (!phone.Start(error)) {
    std::fprintf(stderr, "pdulink-phone: %s\n", error.c_str());
    return 1;
  }
  return phone.Run();
}
