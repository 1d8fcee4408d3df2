#include "core/fdisk/virtual/vhdx/space_manager.h"

#include <algorithm>
#include <iterator>

#include "core/common/error.h"

namespace Vhdx {
namespace {

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  if (alignment <= 1) return value;
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

uint64_t AligningSpaceManager::Round(uint64_t size) const {
  if (granularity_ == 0) return size;
  return (size + granularity_ - 1) / granularity_ * granularity_;
}

SpaceInterval AligningSpaceManager::Allocate(uint32_t size) {
  const uint64_t rounded = Round(size);
  if (rounded == 0 || rounded > UINT32_MAX) return {};
  auto take = [&](uint64_t gapStart, uint64_t gapEnd, SpaceInterval& result) {
    uint64_t candidate = AlignUp(gapStart, alignment_);
    if (candidate < gapStart || candidate > gapEnd || rounded > gapEnd - candidate) return false;
    result = {candidate, static_cast<uint32_t>(rounded)};
    occupied_.emplace(result.offset, result.length);
    return true;
  };
  SpaceInterval result;
  uint64_t gapStart = start_;
  for (const auto& [offset, length] : occupied_) {
    if (offset > gapStart && take(gapStart, offset, result)) return result;
    gapStart = std::max(gapStart, offset + length);
  }
  if (gapStart < End() && take(gapStart, End(), result)) return result;
  return {};
}

void AligningSpaceManager::Occupy(SpaceInterval interval) {
  if (interval.offset < start_ || interval.offset > End() || interval.length > End() - interval.offset)
    HV_THROW(Code::kVhdxSpaceOutOfBounds, Msg::kVhdxSpaceOutOfBounds, "CheckBound");
  uint64_t end = interval.offset + interval.length;
  auto next = occupied_.lower_bound(interval.offset);
  bool intersects = false;
  if (next != occupied_.end() && next->first < end) intersects = true;
  if (next != occupied_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second > interval.offset) intersects = true;
  }
  // Zero-length items intersect nothing.
  if (interval.length == 0) intersects = false;
  if (intersects) HV_THROW(Code::kVhdxSpaceOccupied, Msg::kVhdxSpaceOccupied, "CheckIntersection");
  if (interval.length) occupied_[interval.offset] = interval.length;
}

SpaceInterval AligningSpaceManager::Reoccupy(uint64_t offset, uint32_t newLength) {
  auto it = occupied_.find(offset);
  if (it == occupied_.end()) HV_THROW(Code::kVhdxSpaceNotFound, Msg::kVhdxSpaceNotFound, "LocateExisting");
  uint64_t rounded = Round(newLength);
  auto next = std::next(it);
  uint64_t limit = next == occupied_.end() ? End() : next->first;
  if (rounded > UINT32_MAX || offset > limit || rounded > limit - offset) return {offset, 0};
  it->second = static_cast<uint32_t>(rounded);
  return {offset, static_cast<uint32_t>(rounded)};
}

void AligningSpaceManager::Free(uint64_t offset) {
  if (occupied_.erase(offset) == 0) HV_THROW(Code::kVhdxSpaceNotFound, Msg::kVhdxSpaceNotFound, "LocateExisting");
}

}  // namespace Vhdx
