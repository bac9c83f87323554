// Arbitrary line rates need the kernel's termios2 record, whose header
// clashes with <termios.h>; this file therefore includes only the kernel's.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

namespace serial_impl {

int SetCustomBaud(int fd, uint32_t baud) {
  struct termios2 t2 {};
  if (ioctl(fd, TCGETS2, &t2) != 0) return errno;
  t2.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t2.c_ispeed = baud;
  t2.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &t2) != 0) return errno;
  return 0;
}

int GetCustomBaud(int fd, uint32_t& ispeed, uint32_t& ospeed) {
  struct termios2 t2 {};
  if (ioctl(fd, TCGETS2, &t2) != 0) return errno;
  ispeed = t2.c_ispeed;
  ospeed = t2.c_ospeed;
  return 0;
}

}  // namespace serial_impl
