// An in-memory overlay on a base file: writes land in data ranges, reads see
// them over the base file, and the base file is never written. A read-only
// opening replays a pending log into it.
#pragma once

#include <map>
#include <memory>

#include "core/fdisk/virtual/vhdx/data_range.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

class NonPersistentFile : public File {
 public:
  explicit NonPersistentFile(std::shared_ptr<File> base) : base_(std::move(base)) {}

  void Read(uint64_t offset, size_t size, void* buffer) override;
  uint64_t GetSize() override;
  void Write(uint64_t offset, size_t size, const void* buffer) override;
  void WriteZero(uint64_t offset, uint64_t length) override;
  void Expand(uint64_t newSize) override;
  void Flush() override {}

  size_t RangeCount() const { return ranges_.size(); }

 private:
  // Inserts a newer range: in-memory ranges it overlaps are merged into it,
  // other overlapped ranges keep only their parts outside it. Zero ranges are
  // never turned into bytes, so zeroing or growing costs no memory.
  void Insert(std::shared_ptr<DataRange> range);

  std::shared_ptr<File> base_;
  std::map<int64_t, std::shared_ptr<DataRange>> ranges_;
};

// Owns a NonPersistentFile over the base file and forwards to it.
class NonPersistentFileWrapper : public FileDecorator {
 public:
  explicit NonPersistentFileWrapper(std::shared_ptr<File> base)
      : FileDecorator(std::make_shared<NonPersistentFile>(std::move(base))) {}
};

}  // namespace Vhdx
