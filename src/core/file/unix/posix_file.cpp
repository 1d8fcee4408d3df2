#include "core/file/unix/posix_file.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core/common/assert.h"
#include "core/common/error_codes.h"
#include "core/file/file_errors.h"
#include "core/file/unix/posix_error.h"
#include "hvplug/linux_ex.h"

using namespace FileLayer;

namespace {

// Large transfers go in pieces the kernel takes in one call.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// Below kAtPosition: an offset beyond what the system takes, refused by the transfer.
constexpr int64_t kBeyondReach = -2;

int64_t ToOffset(uint64_t offset) {
  return offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ? kBeyondReach
                                                                           : static_cast<int64_t>(offset);
}

}  // namespace

posix_base_file::posix_base_file(int fd, bool range_locking) : fd_(fd), range_locking_(range_locking) {}

posix_base_file::~posix_base_file() {
  if (fd_ >= 0) LinuxExClose(fd_);
}

void posix_base_file::Read(void* buffer, size_t size, size_t& transferred) {
  ReadFrom(kAtPosition, buffer, size, transferred);
}

void posix_base_file::Write(const void* buffer, size_t size, size_t& transferred) {
  WriteFrom(kAtPosition, buffer, size, transferred);
}

void posix_base_file::ReadFrom(int64_t offset, void* buffer, size_t size, size_t& transferred) {
  transferred = 0;
  if (Failed()) return;
  if (offset < kAtPosition) {
    SetError(MakePosixFileError(EINVAL, Code::kFileRead, Msg::kFileReadError, HV_SITE("Read")));
    return;
  }
  auto* bytes = static_cast<char*>(buffer);
  while (transferred < size) {
    const size_t remaining = size - transferred;
    const size_t piece = std::min(remaining, kMaxTransfer);
    const ssize_t rr = offset == kAtPosition
                           ? read(fd_, bytes + transferred, piece)
                           : pread(fd_, bytes + transferred, piece, static_cast<off_t>(offset + transferred));
    if (rr < 0) {
      if (errno == EINTR) continue;
      SetError(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("Read")));
      return;
    }
    if (rr == 0) break;
    if (static_cast<size_t>(rr) > remaining) HV_ASSERT_TEXT("rr <= Size");
    transferred += static_cast<size_t>(rr);
  }
}

void posix_base_file::WriteFrom(int64_t offset, const void* buffer, size_t size, size_t& transferred) {
  transferred = 0;
  if (Failed()) return;
  if (offset < kAtPosition) {
    SetError(MakePosixFileError(EINVAL, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Write")));
    return;
  }
  const auto* bytes = static_cast<const char*>(buffer);
  while (transferred < size) {
    const size_t remaining = size - transferred;
    const size_t piece = std::min(remaining, kMaxTransfer);
    const ssize_t rr = offset == kAtPosition
                           ? write(fd_, bytes + transferred, piece)
                           : pwrite(fd_, bytes + transferred, piece, static_cast<off_t>(offset + transferred));
    if (rr < 0) {
      if (errno == EINTR) continue;
      // A full disk or the file-size limit: the short count tells the caller.
      if (errno == EFBIG || errno == ENOSPC) return;
      SetError(MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Write")));
      return;
    }
    if (rr == 0) return;
    if (static_cast<size_t>(rr) > remaining) HV_ASSERT_TEXT("rr <= Size");
    transferred += static_cast<size_t>(rr);
  }
}

bool posix_base_file::Flush() {
  if (Failed()) return false;
  if (fsync(fd_) != 0) {
    SetError(MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Flush")));
    return false;
  }
  return true;
}

bool posix_base_file::Truncate(uint64_t length) {
  if (Failed()) return false;
  if (length > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    SetError(MakePosixFileError(EFBIG, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Truncate")));
    return false;
  }
  if (ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    SetError(MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Truncate")));
    return false;
  }
  return true;
}

int64_t posix_base_file::Seek(int64_t offset) {
  if (Failed()) return 0;
  const off_t position = lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (position < 0) {
    SetError(MakePosixFileError(errno, Code::kFileSeek, Msg::kFileSeekError, HV_SITE("Seek")));
    return 0;
  }
  return position;
}

int64_t posix_base_file::SeekRelative(int64_t offset) {
  if (Failed()) return 0;
  const off_t position = lseek(fd_, static_cast<off_t>(offset), SEEK_CUR);
  if (position < 0) {
    SetError(MakePosixFileError(errno, Code::kFileSeek, Msg::kFileSeekError, HV_SITE("SeekRelative")));
    return 0;
  }
  return position;
}

int64_t posix_base_file::SeekEnd(int64_t offset) {
  if (Failed()) return 0;
  const off_t position = lseek(fd_, static_cast<off_t>(offset), SEEK_END);
  if (position >= 0) return position;
  int errnum = errno;
  if (errnum == EBADF) {
    // Descriptors that cannot seek may still know their size.
    struct stat st {};
    if (fstat(fd_, &st) == 0) return st.st_size + offset;
    errnum = errno;
  }
  SetError(MakePosixFileError(errnum, Code::kFileSeek, Msg::kFileSeekError, HV_SITE("SeekEnd")));
  return 0;
}

bool posix_base_file::IOCTL(void* request) {
  if (Failed()) return false;
  if (!request) return file_object::IOCTL(request);
  uint32_t command = 0;
  std::memcpy(&command, request, sizeof command);

  // Positioned transfers come first: they carry the data path.
  if (command == file_ioctl_code("RDAT")) {
    auto* r = static_cast<file_ioctl_read_at*>(request);
    ReadFrom(ToOffset(r->offset), r->buffer, r->size, r->transferred);
    return !Failed();
  }
  if (command == file_ioctl_code("WRAT")) {
    auto* r = static_cast<file_ioctl_write_at*>(request);
    WriteFrom(ToOffset(r->offset), r->buffer, r->size, r->transferred);
    return !Failed();
  }
  if (command == file_ioctl_code("UIOC")) {
    auto* r = static_cast<file_ioctl_passthrough*>(request);
    r->result = ioctl(fd_, r->number, r->argument);
    r->error_number = r->result != 0 ? errno : 0;
    return true;
  }
  if (command == file_ioctl_code("GSEC")) {
    auto* r = static_cast<file_ioctl_sector*>(request);
    int blockSize = 0;
    if (ioctl(fd_, FIGETBSZ, &blockSize) != 0 || blockSize < 512) {
      SetError(Common::MakeError(Code::kNotSupported, Msg::kOperationNotSupported, HV_SITE("IOCTL")));
      return false;
    }
    const off_t position = lseek(fd_, 0, SEEK_CUR);
    if (position < 0) {
      SetError(MakePosixFileError(errno, Code::kFileSeek, Msg::kFileSeekError, HV_SITE("IOCTL")));
      return false;
    }
    const int64_t sectorsPerBlock = blockSize / 512;
    const int64_t logicalBlock = position / blockSize;
    const int64_t withinBlock = (position % blockSize) / 512;
    if (logicalBlock > std::numeric_limits<int>::max()) {
      SetError(MakePosixFileError(EFBIG, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL")));
      return false;
    }
    int block = static_cast<int>(logicalBlock);
    if (ioctl(fd_, FIBMAP, &block) != 0) {
      SetError(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL")));
      return false;
    }
    r->sector =
        block == 0 ? -1 : static_cast<int64_t>(static_cast<unsigned int>(block)) * sectorsPerBlock + withinBlock;
    r->sector_count = static_cast<uint64_t>(sectorsPerBlock - withinBlock);
    return true;
  }

  int result = 0;
  if (command == file_ioctl_code("SAMI")) {
    const int flags = fcntl(fd_, F_GETFL);
    result = flags < 0 ? -1 : fcntl(fd_, F_SETFL, flags | O_APPEND);
  } else if (command == file_ioctl_code("GUFL")) {
    int flags = 0;
    result = ioctl(fd_, FS_IOC_GETFLAGS, &flags);
    if (result == 0) static_cast<file_ioctl_flags*>(request)->flags = static_cast<uint32_t>(flags);
  } else if (command == file_ioctl_code("SUFL")) {
    int flags = static_cast<int>(static_cast<file_ioctl_flags*>(request)->flags);
    result = ioctl(fd_, FS_IOC_SETFLAGS, &flags);
  } else if (command == file_ioctl_code("SFTM")) {
    const auto* r = static_cast<file_ioctl_times*>(request);
    const timeval times[2] = {MillisecondsToTimeval(r->access_ms), MillisecondsToTimeval(r->modification_ms)};
    result = futimes(fd_, times);
  } else if (command == file_ioctl_code("SDAT")) {
    const auto* r = static_cast<file_ioctl_deallocate*>(request);
    if (r->offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
        r->length > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
      errno = EINVAL;
      result = -1;
    } else {
      result = fallocate(fd_, FALLOC_FL_KEEP_SIZE | FALLOC_FL_PUNCH_HOLE, static_cast<off_t>(r->offset),
                         static_cast<off_t>(r->length));
    }
  } else {
    return file_object::IOCTL(request);
  }
  if (result != 0) {
    SetError(MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL")));
    return false;
  }
  return true;
}

// Range locks ------------------------------------------------------------------

bool posix_file::RangeLock(short type, uint64_t offset, uint64_t length, bool wait, const Common::ErrorSite& site) {
  if (Failed()) return false;
  if (!range_locking_) return true;
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      length > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    SetError(MakePosixFileError(EINVAL, Code::kFileLock, Msg::kFileLockError, site));
    return false;
  }
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = static_cast<off_t>(length);
  if (LinuxExRangeLock(fd_, wait ? F_SETLKW : F_SETLK, &lock) != 0) {
    SetError(MakePosixFileError(errno, Code::kFileLock, Msg::kFileLockError, site));
    return false;
  }
  return true;
}

bool posix_file::LockShared(uint64_t offset, uint64_t length, bool wait) {
  return RangeLock(F_RDLCK, offset, length, wait, HV_SITE("LockShared"));
}

bool posix_file::LockExclusive(uint64_t offset, uint64_t length, bool wait) {
  return RangeLock(F_WRLCK, offset, length, wait, HV_SITE("LockExclusive"));
}

bool posix_file::Unlock(uint64_t offset, uint64_t length) {
  return RangeLock(F_UNLCK, offset, length, false, HV_SITE("Unlock"));
}
