#include "core/fdisk/virtual/vhdx/bat_collector.h"

#include <string>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/bat_codes.h"

namespace Vhdx {

bool RegionIndexedCollectingDataBlockInfoMap::Collect(const DataBlockInfo& block) {
  if (block.length == 0) return true;
  if (!blocks_.insert(block).second) {
    std::u16string offset = Common::Utf8ToUtf16(std::to_string(block.fileOffset));
    HV_THROW_ARGS(Codes::kIntersectingDataBlock, Msg::kIntersectingDataBlock, "CheckIntersection", "offset", {offset});
  }
  return true;
}

bool RegionIndexedCollectingDataBlockInfoMap::Find(const Vhd::DiskArea& bytes,
                                                   Vhd::Collector<DataBlockInfo>& collector) const {
  if (bytes.length == 0) return true;
  auto [first, last] = blocks_.equal_range(bytes);
  for (auto it = first; it != last; ++it) {
    if (!collector.Collect(*it)) return false;
  }
  return true;
}

namespace {

// Bitmap blocks: 1 MB at their entry's offset.
class BitmapBlockToInfoCollector final : public BatEntryCollector {
 public:
  BitmapBlockToInfoCollector(const BatIndexTraits& traits, Vhd::Collector<DataBlockInfo>& target)
      : traits_(traits), target_(target) {}
  bool Collect(uint32_t index, const BatEntry& entry) override {
    if (!traits_.IsBitmapEntry(index) || entry.State() != kBlockFullyPresent) return true;
    return target_.Collect({entry.FileOffset(), 0, true, kSectorBitmapBytes});
  }

 private:
  const BatIndexTraits& traits_;
  Vhd::Collector<DataBlockInfo>& target_;
};

}  // namespace

void ValidateBlockPlacement(Vhd::Array<BatEntry>& entries, uint32_t entryCount, uint32_t chunkRatio, uint64_t blockSize,
                            const std::vector<Vhd::DiskArea>& reserved) {
  RegionIndexedCollectingDataBlockInfoMap map;
  for (const Vhd::DiskArea& area : reserved) map.Collect({area.start, 0, true, area.length});
  ParametrizedBatIndexTraits traits(chunkRatio);
  PayloadBatEntryToBlockInfoCollector payload(traits, 1, blockSize, map);
  BitmapBlockToInfoCollector bitmaps(traits, map);
  for (uint32_t i = 0; i < entryCount; ++i) {
    BatEntry entry = entries.Get(i);
    payload.Collect(i, entry);
    bitmaps.Collect(i, entry);
  }
}

}  // namespace Vhdx
