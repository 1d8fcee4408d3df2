#include "core/fdisk/virtual/vhdx/rio_core_file.h"

#include <cstdint>
#include <limits>

#include "core/common/error.h"

namespace Vhdx {
namespace {

// A file object of the file layer keeps its last error; the engine throws it.
class RioCoreFile final : public CoreFile {
 public:
  explicit RioCoreFile(std::unique_ptr<rio_file> file) : file_(std::move(file)) {}

  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
    SeekTo(offset);
    size_t transferred = 0;
    file_->Read(buffer, size, transferred);
    ThrowIfFailed();
    return transferred;
  }
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override {
    SeekTo(offset);
    size_t transferred = 0;
    file_->Write(buffer, size, transferred);
    ThrowIfFailed();
    return transferred;
  }
  uint64_t GetSize() override {
    uint64_t size = file_->GetSize();
    ThrowIfFailed();
    return size;
  }
  void SetSize(uint64_t size) override {
    file_->Truncate(size);
    ThrowIfFailed();
  }
  void Flush() override {
    file_->Flush();
    ThrowIfFailed();
  }

 private:
  void SeekTo(uint64_t offset) {
    if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      HV_THROW(Code::kFileSeek, Msg::kFileSeekError, "Seek");
    file_->Seek(static_cast<int64_t>(offset));
    ThrowIfFailed();
  }
  void ThrowIfFailed() {
    if (file_->Failed()) Common::Throw(file_->TakeError());
  }

  std::unique_ptr<rio_file> file_;
};

}  // namespace

std::shared_ptr<CoreFile> MakeRioCoreFile(std::unique_ptr<rio_file> file) {
  return std::make_shared<RioCoreFile>(std::move(file));
}

}  // namespace Vhdx
