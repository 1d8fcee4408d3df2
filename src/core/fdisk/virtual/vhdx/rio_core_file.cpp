#include "core/fdisk/virtual/vhdx/rio_core_file.h"

#include <cstdint>

#include "core/common/error.h"
#include "core/file/positioned_io.h"

namespace Vhdx {
namespace {

// A file object of the file layer keeps its last error; the engine throws it.
class RioCoreFile final : public CoreFile {
 public:
  explicit RioCoreFile(std::unique_ptr<rio_file> file) : file_(std::move(file)), at_(*file_) {}

  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
    const size_t transferred = at_.ReadAt(offset, buffer, size);
    ThrowIfFailed();
    return transferred;
  }
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override {
    const size_t transferred = at_.WriteAt(offset, buffer, size);
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
  void ThrowIfFailed() {
    if (file_->Failed()) Common::Throw(file_->TakeError());
  }

  std::unique_ptr<rio_file> file_;
  // Seek then Read or Write unless the file takes positioned requests.
  FileLayer::PositionedFile at_;
};

}  // namespace

std::shared_ptr<CoreFile> MakeRioCoreFile(std::unique_ptr<rio_file> file) {
  return std::make_shared<RioCoreFile>(std::move(file));
}

}  // namespace Vhdx
