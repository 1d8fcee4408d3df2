#include "core/fdisk/virtual/vhdx/data_range.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/common/error.h"

namespace Vhdx {
namespace {

std::u16string Decimal(int64_t value) { return Common::Utf8ToUtf16(std::to_string(value)); }

class ZeroDataRange final : public DataRange {
 public:
  using DataRange::DataRange;
  bool IsZero() const override { return true; }
  void CopyOut(int64_t, int64_t size, void* destination) const override {
    std::memset(destination, 0, static_cast<size_t>(size));
  }
};

class InMemoryDataRange final : public DataRange {
 public:
  InMemoryDataRange(int64_t offset, int64_t size, const void* bytes)
      : DataRange(offset, size), bytes_(static_cast<size_t>(size)) {
    if (size) std::memcpy(bytes_.data(), bytes, bytes_.size());
  }
  InMemoryDataRange(int64_t offset, std::vector<uint8_t> bytes)
      : DataRange(offset, static_cast<int64_t>(bytes.size())), bytes_(std::move(bytes)) {}
  bool IsZero() const override { return false; }
  void CopyOut(int64_t offset, int64_t size, void* destination) const override {
    if (size) std::memcpy(destination, bytes_.data() + (offset - Offset()), static_cast<size_t>(size));
  }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

void DataRange::Read(int64_t offset, int64_t size, void* destination) const {
  CheckInside(offset, size);
  CopyOut(offset, size, destination);
}

std::shared_ptr<DataRange> DataRange::Merge(const DataRange& newer) const {
  if (!(newer.Offset() < End() && newer.End() > offset_)) {
    HV_THROW_ARGS(Code::kVhdxInternalError, Msg::kVhdxDataRangeMergeDisjoint, "Merge",
                  "firstOffset,firstSize,secondOffset,secondSize",
                  {Decimal(offset_), Decimal(size_), Decimal(newer.Offset()), Decimal(newer.Size())});
  }
  int64_t start = std::min(offset_, newer.Offset());
  int64_t end = std::max(End(), newer.End());
  if (IsZero() && newer.IsZero()) return MakeZeroDataRange(start, end - start);
  std::vector<uint8_t> bytes(static_cast<size_t>(end - start));
  CopyOut(offset_, size_, bytes.data() + (offset_ - start));
  newer.CopyOut(newer.Offset(), newer.Size(), bytes.data() + (newer.Offset() - start));
  return std::make_shared<InMemoryDataRange>(start, std::move(bytes));
}

std::shared_ptr<DataRange> DataRange::Slice(int64_t offset, int64_t size) const {
  CheckInside(offset, size);
  if (IsZero()) return MakeZeroDataRange(offset, size);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  CopyOut(offset, size, bytes.data());
  return std::make_shared<InMemoryDataRange>(offset, std::move(bytes));
}

void DataRange::CheckInside(int64_t offset, int64_t size) const {
  if (size < 0 || offset < offset_ || offset + size > End()) {
    HV_THROW_ARGS(Code::kVhdxInternalError, Msg::kVhdxDataRangeReadOutOfBounds, "Read",
                  "rangeOffset,rangeSize,offset,size",
                  {Decimal(offset_), Decimal(size_), Decimal(offset), Decimal(size)});
  }
}

std::shared_ptr<DataRange> MakeZeroDataRange(int64_t offset, int64_t size) {
  return std::make_shared<ZeroDataRange>(offset, size);
}

std::shared_ptr<DataRange> MakeInMemoryDataRange(int64_t offset, int64_t size, const void* bytes) {
  return std::make_shared<InMemoryDataRange>(offset, size, bytes);
}

}  // namespace Vhdx
