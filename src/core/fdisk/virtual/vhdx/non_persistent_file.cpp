#include "core/fdisk/virtual/vhdx/non_persistent_file.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/common/error.h"

namespace Vhdx {
namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

void CheckSpan(uint64_t offset, uint64_t size, const char* function) {
  if (offset > kMaxOffset || size > kMaxOffset - offset)
    HV_THROW(Code::kVhdxRegionOutOfBounds, Msg::kVhdxRegionOutOfBounds, function);
}

}  // namespace

void NonPersistentFile::Read(uint64_t offset, size_t size, void* buffer) {
  CheckSpan(offset, size, "Read");
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t pos = static_cast<int64_t>(offset);
  const int64_t end = pos + static_cast<int64_t>(size);
  auto it = ranges_.upper_bound(pos);
  if (it != ranges_.begin() && std::prev(it)->second->End() > pos) --it;
  while (pos < end) {
    if (it == ranges_.end() || it->second->Offset() >= end) {
      base_->Read(static_cast<uint64_t>(pos), static_cast<size_t>(end - pos),
                  out + (pos - static_cast<int64_t>(offset)));
      return;
    }
    const DataRange& range = *it->second;
    if (range.Offset() > pos) {
      base_->Read(static_cast<uint64_t>(pos), static_cast<size_t>(range.Offset() - pos),
                  out + (pos - static_cast<int64_t>(offset)));
      pos = range.Offset();
    }
    int64_t stop = std::min(end, range.End());
    range.Read(pos, stop - pos, out + (pos - static_cast<int64_t>(offset)));
    pos = stop;
    ++it;
  }
}

uint64_t NonPersistentFile::GetSize() {
  uint64_t size = base_->GetSize();
  if (!ranges_.empty()) size = std::max<uint64_t>(size, static_cast<uint64_t>(ranges_.rbegin()->second->End()));
  return size;
}

void NonPersistentFile::Write(uint64_t offset, size_t size, const void* buffer) {
  if (size == 0) return;
  CheckSpan(offset, size, "Write");
  Insert(MakeInMemoryDataRange(static_cast<int64_t>(offset), static_cast<int64_t>(size), buffer));
}

void NonPersistentFile::WriteZero(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  CheckSpan(offset, length, "WriteZero");
  Insert(MakeZeroDataRange(static_cast<int64_t>(offset), static_cast<int64_t>(length)));
}

void NonPersistentFile::Expand(uint64_t newSize) {
  uint64_t size = GetSize();
  if (newSize <= size) return;
  CheckSpan(size, newSize - size, "Expand");
  // One zero range rather than 4 KB pieces: reads are the same and a hostile
  // size cannot multiply the ranges.
  Insert(MakeZeroDataRange(static_cast<int64_t>(size), static_cast<int64_t>(newSize - size)));
}

void NonPersistentFile::Insert(std::shared_ptr<DataRange> range) {
  const int64_t start = range->Offset();
  const int64_t end = range->End();
  auto it = ranges_.upper_bound(start);
  if (it != ranges_.begin() && std::prev(it)->second->End() > start) --it;
  std::vector<std::shared_ptr<DataRange>> keep;
  while (it != ranges_.end() && it->second->Offset() < end) {
    std::shared_ptr<DataRange> older = it->second;
    it = ranges_.erase(it);
    if (!older->IsZero() && !range->IsZero()) {
      range = older->Merge(*range);
      continue;
    }
    if (older->Offset() < start) keep.push_back(older->Slice(older->Offset(), start - older->Offset()));
    if (older->End() > end) keep.push_back(older->Slice(end, older->End() - end));
  }
  for (auto& part : keep) ranges_.emplace(part->Offset(), std::move(part));
  ranges_.emplace(range->Offset(), std::move(range));
}

}  // namespace Vhdx
