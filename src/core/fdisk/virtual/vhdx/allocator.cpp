#include "core/fdisk/virtual/vhdx/allocator.h"

#include "core/common/error.h"

namespace Vhdx {
namespace {

uint64_t RoundUp(uint64_t value, uint64_t alignment, const char* function) {
  if (alignment == 0) return value;
  uint64_t rest = value % alignment;
  if (rest == 0) return value;
  if (value > UINT64_MAX - (alignment - rest))
    HV_THROW(Code::kVhdxRegionOutOfBounds, Msg::kVhdxRegionOutOfBounds, function);
  return value + (alignment - rest);
}

}  // namespace

Allocation AtEndOfFileAllocator::Allocate(uint64_t size, uint64_t, uint64_t) {
  uint64_t offset = RoundUp(file_->GetSize(), offsetAlignment_, "Allocate");
  uint64_t rounded = size ? RoundUp(size, sizeAlignment_, "Allocate") : 0;
  if (rounded > UINT64_MAX - offset) HV_THROW(Code::kVhdxRegionOutOfBounds, Msg::kVhdxRegionOutOfBounds, "Allocate");
  file_->Expand(offset + rounded);
  return {offset, rounded};
}

}  // namespace Vhdx
