// Files over POSIX descriptors.
#pragma once

#include <sys/time.h>

#include "core/common/error.h"
#include "hvplug/file.h"

// Every file operation over an owned descriptor; the lock operations keep
// their not-supported defaults.
namespace FileLayer {

// File times in the IOCTL records are milliseconds since 1970; earlier ones are negative.
inline timeval MillisecondsToTimeval(int64_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    --tv.tv_sec;
  }
  tv.tv_usec = static_cast<suseconds_t>(rest * 1000);
  return tv;
}

}  // namespace FileLayer

class posix_base_file : public rio_file {
 public:
  // Takes ownership of fd. range_locking: the file was opened without the
  // implicit whole-file lock and honours explicit range locks.
  posix_base_file(int fd, bool range_locking);
  ~posix_base_file() override;  // closes the descriptor, releasing its locks

  void Read(void* buffer, size_t size, size_t& transferred) override;
  void Write(const void* buffer, size_t size, size_t& transferred) override;
  bool Flush() override;
  bool Truncate(uint64_t length) override;
  int64_t Seek(int64_t offset) override;
  int64_t SeekRelative(int64_t offset) override;
  int64_t SeekEnd(int64_t offset) override;
  bool IOCTL(void* request) override;

  int descriptor() const { return fd_; }

 protected:
  // Read and Write from offset, or from the position with kAtPosition; the
  // positioned form leaves the position alone.
  static constexpr int64_t kAtPosition = -1;
  void ReadFrom(int64_t offset, void* buffer, size_t size, size_t& transferred);
  void WriteFrom(int64_t offset, const void* buffer, size_t size, size_t& transferred);

  int fd_;
  bool range_locking_;
};

// Adds the range locks (through the host's LinuxExRangeLock). Files opened
// with the implicit lock accept lock requests and do nothing.
class posix_file : public posix_base_file {
 public:
  using posix_base_file::posix_base_file;

  bool LockShared(uint64_t offset, uint64_t length, bool wait) override;
  bool LockExclusive(uint64_t offset, uint64_t length, bool wait) override;
  bool Unlock(uint64_t offset, uint64_t length) override;

 private:
  bool RangeLock(short type, uint64_t offset, uint64_t length, bool wait, const Common::ErrorSite& site);
};
