#include "core/fdisk/virtual/vhdx/core_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/common/error.h"

namespace Vhdx {
namespace {

[[noreturn]] void ThrowPosix(uint32_t code, Common::MessageId message, const Common::ErrorSite& site, int errnum) {
  Common::Error error = Common::MakeError(code, message, site);
  Common::AddPosixError(error, errnum);
  Common::Throw(error);
}

}  // namespace

std::unique_ptr<DescriptorCoreFile> DescriptorCoreFile::Open(const std::string& path, bool writable) {
  int descriptor = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (descriptor < 0) {
    int errnum = errno;
    Common::Error error = Common::MakeErrorWithArgs(0x40001, Msg::kVhdxOpenFileFailed, HV_SITE("Open"), "fileName",
                                                    {Common::Utf8ToUtf16(path)});
    Common::AddPosixError(error, errnum);
    Common::Throw(error);
  }
  return std::make_unique<DescriptorCoreFile>(descriptor);
}

std::unique_ptr<DescriptorCoreFile> DescriptorCoreFile::Create(const std::string& path) {
  int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    int errnum = errno;
    Common::Error error = Common::MakeErrorWithArgs(0x40003, Msg::kVhdxOpenFileFailed, HV_SITE("Create"), "fileName",
                                                    {Common::Utf8ToUtf16(path)});
    Common::AddPosixError(error, errnum);
    Common::Throw(error);
  }
  return std::make_unique<DescriptorCoreFile>(descriptor);
}

DescriptorCoreFile::~DescriptorCoreFile() { ::close(descriptor_); }

size_t DescriptorCoreFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (done < size) {
    ssize_t n = ::pread(descriptor_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowPosix(0x40001, Msg::kFileReadError, HV_SITE("Read"), errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

size_t DescriptorCoreFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  size_t done = 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (done < size) {
    ssize_t n = ::pwrite(descriptor_, in + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSPC) break;
      ThrowPosix(0x40003, Msg::kVhdxFileWriteError, HV_SITE("Write"), errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

uint64_t DescriptorCoreFile::GetSize() {
  struct stat info;
  if (::fstat(descriptor_, &info) != 0) ThrowPosix(0x40005, Msg::kFileSeekError, HV_SITE("GetSize"), errno);
  return static_cast<uint64_t>(info.st_size);
}

void DescriptorCoreFile::SetSize(uint64_t size) {
  if (::ftruncate(descriptor_, static_cast<off_t>(size)) != 0)
    ThrowPosix(0x40003, Msg::kVhdxFileSizeError, HV_SITE("Truncate"), errno);
}

// The data and what is needed to read it back, the file size included; the
// times of the file do not matter to a disk image.
void DescriptorCoreFile::Flush() {
  if (::fdatasync(descriptor_) != 0) ThrowPosix(0x40003, Msg::kVhdxFileFlushError, HV_SITE("Flush"), errno);
}

size_t MemoryCoreFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (offset >= bytes_.size()) return 0;
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, bytes_.size() - offset));
  std::memcpy(buffer, bytes_.data() + offset, n);
  return n;
}

size_t MemoryCoreFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  if (offset > capacity_ || size > capacity_ - offset) return 0;
  if (offset + size > bytes_.size()) bytes_.resize(offset + size);
  std::memcpy(bytes_.data() + offset, buffer, size);
  return size;
}

void MemoryCoreFile::SetSize(uint64_t size) {
  if (size > capacity_) HV_THROW(0x40004, Msg::kVhdxDiskFull, "Truncate");
  bytes_.resize(size);
}

}  // namespace Vhdx
