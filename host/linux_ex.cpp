// Stand-in for the agent's Linux support library.
#include "hvplug/linux_ex.h"

#include <unistd.h>

#include <cerrno>

int LinuxExOpen(const char* path, int flags, mode_t mode) {
  int fd;
  do fd = open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int LinuxExClose(int fd) { return close(fd); }

int LinuxExRangeLock(int fd, int command, struct flock* lock) {
  int result;
  do result = fcntl(fd, command, lock);
  while (result < 0 && errno == EINTR);
  return result;
}
