// A large buffer for moving disk data, left uninitialised (every byte is
// written before it is read) and backed by huge pages where the kernel
// offers them on request: a 4 MiB buffer then costs two page faults instead
// of a thousand, and on virtual machines where a fault is dear those faults
// were a tenth of a small backup's time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Hvagent {

class IoBuffer {
 public:
  IoBuffer() = default;
  explicit IoBuffer(size_t size);
  ~IoBuffer();
  IoBuffer(IoBuffer&& other) noexcept;
  IoBuffer& operator=(IoBuffer&& other) noexcept;
  IoBuffer(const IoBuffer&) = delete;
  IoBuffer& operator=(const IoBuffer&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Turns direct transfers (O_DIRECT, past the page cache) on or off for fd;
// false when the file system refuses.
bool SetDirectIo(int fd, bool on);

}  // namespace Hvagent
