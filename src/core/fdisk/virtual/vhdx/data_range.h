// In-memory ranges of file bytes: the building blocks of the overlay that
// keeps writes to a read-only opening in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Vhdx {

class DataRange {
 public:
  DataRange(int64_t offset, int64_t size) : offset_(offset), size_(size) {}
  DataRange(const DataRange&) = delete;
  DataRange& operator=(const DataRange&) = delete;
  virtual ~DataRange() = default;

  int64_t Offset() const { return offset_; }
  int64_t Size() const { return size_; }
  int64_t End() const { return offset_ + size_; }
  virtual bool IsZero() const = 0;

  // [offset, offset + size) must lie inside the range.
  void Read(int64_t offset, int64_t size, void* destination) const;
  // The union of this range and a newer one that overlaps it by at least one
  // byte; the newer bytes win in the overlap.
  std::shared_ptr<DataRange> Merge(const DataRange& newer) const;
  // The part [offset, offset + size) of this range, which must lie inside it.
  std::shared_ptr<DataRange> Slice(int64_t offset, int64_t size) const;

  // Copies without checks.
  virtual void CopyOut(int64_t offset, int64_t size, void* destination) const = 0;

 private:
  void CheckInside(int64_t offset, int64_t size) const;

  int64_t offset_;
  int64_t size_;
};

std::shared_ptr<DataRange> MakeZeroDataRange(int64_t offset, int64_t size);
std::shared_ptr<DataRange> MakeInMemoryDataRange(int64_t offset, int64_t size, const void* bytes);

}  // namespace Vhdx
