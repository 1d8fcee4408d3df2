// A file of the file layer as the engine's core file: errors the file object
// keeps are taken from it and thrown.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/core_file.h"

class rio_file;

namespace VirtualDisks {

class RioCoreFile final : public Vhdx::CoreFile {
 public:
  explicit RioCoreFile(std::shared_ptr<rio_file> file) : file_(std::move(file)) {}

  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  uint64_t GetSize() override;
  void SetSize(uint64_t size) override;
  void Flush() override;

 private:
  void SeekTo(uint64_t offset, const char* function);
  void ThrowIfFailed();

  std::shared_ptr<rio_file> file_;
};

}  // namespace VirtualDisks
