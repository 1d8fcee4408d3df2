#include "io_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace Hvagent {

namespace {
constexpr size_t kHugePage = 2 << 20;
constexpr size_t kPage = 4096;
}

IoBuffer::IoBuffer(size_t size) : size_(size) {
  if (!size) return;
  // Aligned to a huge page so that the advice covers whole ones, and at
  // least to a page, as direct transfers want.
  const size_t alignment = size >= kHugePage ? kHugePage : kPage;
  void* memory = nullptr;
  if (::posix_memalign(&memory, alignment, size) != 0) throw std::bad_alloc();
  data_ = static_cast<uint8_t*>(memory);
  if (size >= kHugePage) ::madvise(data_, size / kHugePage * kHugePage, MADV_HUGEPAGE);  // advice only
}

IoBuffer::~IoBuffer() { std::free(data_); }

IoBuffer::IoBuffer(IoBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

IoBuffer& IoBuffer::operator=(IoBuffer&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

bool SetDirectIo(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

}  // namespace Hvagent
