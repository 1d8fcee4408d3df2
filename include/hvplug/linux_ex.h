// The agent's Linux support library: descriptors and range locks.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include "hvplug/host_api.h"

HVHOST_API int LinuxExOpen(const char* path, int flags, mode_t mode);
HVHOST_API int LinuxExClose(int fd);
// fcntl(fd, command, lock), retried when interrupted.
HVHOST_API int LinuxExRangeLock(int fd, int command, struct flock* lock);
