#include "core/fdisk/virtual/vhdx/bitmap_array.h"

#include "core/common/error.h"

namespace Vhdx {

BitmapPtr LoadingBitmapArray::Get(uint32_t chunk) {
  uint64_t index = (uint64_t{ratio_} + 1) * (uint64_t{chunk} + 1) - 1;
  if (index > UINT32_MAX) HV_THROW(Code::kBatIndexOutOfBounds, Msg::kBatIndexOutOfBounds, "Get");
  return source_.Load(entries_.Get(static_cast<uint32_t>(index)));
}

BatEntry VectorBatEntryArray::Get(uint32_t index) {
  if (index >= words_.size()) HV_THROW(Code::kBatIndexOutOfBounds, Msg::kBatIndexOutOfBounds, "Get");
  return BatEntry{words_[index]};
}

}  // namespace Vhdx
