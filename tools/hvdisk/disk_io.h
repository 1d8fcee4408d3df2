// Helpers of the data commands: opening a disk with its chain, streaming
// bytes to and from files or standard streams in bounded pieces.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"

namespace Hvdisk {

// Data moves through buffers of this size, whatever the request.
inline constexpr uint64_t kPieceBytes = 4 << 20;

[[noreturn]] inline void ThrowStreamError(const std::string& name, int errnum) {
  Common::Error error = Common::MakeErrorWithArgs(Code::kDataStreamFailed, Msg::kDataStreamFailed, HV_SITE("Stream"),
                                                  "name", {Common::Utf8ToUtf16(name)});
  if (errnum) Common::AddPosixError(error, errnum);
  Common::Throw(error);
}

// A descriptor for "-" (standard input or output) or a named file.
class Stream {
 public:
  Stream(const std::string& name, bool output) : name_(name) {
    if (name == "-") {
      fd_ = output ? STDOUT_FILENO : STDIN_FILENO;
      owned_ = false;
    } else {
      fd_ = output ? ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                   : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) ThrowStreamError(name, errno);
    }
  }
  ~Stream() {
    if (owned_ && fd_ >= 0) ::close(fd_);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void WriteAll(const uint8_t* data, uint64_t size) {
    while (size) {
      ssize_t done = ::write(fd_, data, size);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) ThrowStreamError(name_, done < 0 ? errno : EIO);
      data += done;
      size -= static_cast<uint64_t>(done);
    }
  }
  // Fills up to size bytes; fewer only at the end of the stream.
  uint64_t ReadFull(uint8_t* data, uint64_t size) {
    uint64_t total = 0;
    while (total < size) {
      ssize_t done = ::read(fd_, data + total, size - total);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0) ThrowStreamError(name_, errno);
      if (done == 0) break;
      total += static_cast<uint64_t>(done);
    }
    return total;
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool owned_ = true;
};

int RunRead(const std::vector<std::string>& args);
int RunWrite(const std::vector<std::string>& args);
int RunChanges(const std::vector<std::string>& args);
int RunTrack(const std::vector<std::string>& args);
int RunCheck(const std::vector<std::string>& args);
int RunBench(const std::vector<std::string>& args);

}  // namespace Hvdisk
