#pragma once
// Reply-aware framing: whether the bytes received so far end a modem reply,
// so a cluster can close at once instead of after the burst's quiet time.
#include <string_view>

namespace serial_impl {

// True when bytes end with a final result line of 3GPP TS 27.007 / V.250
// in verbose form, framed by CR LF on both sides, or with the message prompt
// of TS 27.005 (3.5.1, AT+CMGS):
//   "\r\nOK\r\n", "\r\nERROR\r\n", "\r\n+CME ERROR: <err>\r\n",
//   "\r\n+CMS ERROR: <err>\r\n"   (<err> a number or a verbose text)
//   "> " at the start of a line   ("\r\n> ", or "> " right after an echo's CR)
// A result without its leading CR LF (for example "AT\rOK\r\n" from a phone
// that drops it after the echo) does not count: the receive handler only
// recognises the framed "\r\nOK\r\n", so such a reply keeps the normal
// cluster rule and nothing it reports changes. Anything else (RING, +CMTI,
// an information line, a reply cut short) is not an end either.
bool EndsWithFinalResult(std::string_view bytes);

}  // namespace serial_impl
