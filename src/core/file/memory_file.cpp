#include "core/file/memory_file.h"

#include <algorithm>
#include <cstring>

#include "core/common/error_codes.h"
#include "core/file/file_errors.h"

namespace Common {

namespace {

class MemoryFileImpl final : public MemoryFile {
 public:
  explicit MemoryFileImpl(uint64_t maxSize) : maxSize_(std::min(maxSize, kMaxSize)) {}

  const std::string& Contents() const override { return contents_; }

  void Read(void* buffer, size_t size, size_t& transferred) override {
    transferred = 0;
    if (Failed() || position_ < 0 || static_cast<uint64_t>(position_) >= contents_.size()) return;
    const size_t at = static_cast<size_t>(position_);
    transferred = std::min(size, contents_.size() - at);
    std::memcpy(buffer, contents_.data() + at, transferred);
    position_ += static_cast<int64_t>(transferred);
  }

  void Write(const void* buffer, size_t size, size_t& transferred) override {
    transferred = 0;
    if (Failed()) return;
    if (position_ < 0) {
      SetError(MakeError(Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Write")));
      return;
    }
    // At the limit the short count tells the caller, as a full disk would.
    if (static_cast<uint64_t>(position_) >= maxSize_) return;
    const size_t at = static_cast<size_t>(position_);
    const size_t count = static_cast<size_t>(std::min<uint64_t>(size, maxSize_ - at));
    if (count == 0) return;
    if (contents_.size() < at + count) contents_.resize(at + count);
    std::memcpy(contents_.data() + at, buffer, count);
    position_ += static_cast<int64_t>(count);
    transferred = count;
  }

  bool Truncate(uint64_t length) override {
    if (Failed()) return false;
    if (length == contents_.size()) return true;
    if (length > maxSize_) {
      SetError(MakeError(Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Truncate")));
      return false;
    }
    contents_.resize(static_cast<size_t>(length));
    return true;
  }

  int64_t Seek(int64_t offset) override {
    if (Failed()) return 0;
    return position_ = offset;
  }
  int64_t SeekRelative(int64_t offset) override {
    if (Failed()) return 0;
    return position_ = Add(position_, offset);
  }
  int64_t SeekEnd(int64_t offset) override {
    if (Failed()) return 0;
    return position_ = Add(static_cast<int64_t>(contents_.size()), offset);
  }

  uint64_t GetSize() override { return Failed() ? 0 : contents_.size(); }

 private:
  // Positions saturate instead of wrapping around.
  static int64_t Add(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
  }

  std::string contents_;
  int64_t position_ = 0;
  uint64_t maxSize_;
};

}  // namespace

std::unique_ptr<MemoryFile> CreateMemoryFile() { return std::make_unique<MemoryFileImpl>(MemoryFile::kMaxSize); }

std::unique_ptr<MemoryFile> CreateMemoryFile(uint64_t maxSize) { return std::make_unique<MemoryFileImpl>(maxSize); }

}  // namespace Common
