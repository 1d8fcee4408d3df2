// Collectors of (index, entry) pairs of the block allocation table, the
// collector of BAT region byte areas, and the ordered map of data blocks
// that rejects overlapping placements.
#pragma once

#include <memory>
#include <set>

#include "core/fdisk/virtual/vhd/enumerator.h"
#include "core/fdisk/virtual/vhdx/bat.h"

namespace Vhdx {

using BatEntryCollector = Vhd::IndexedEntryCollector<BatEntry>;
using DiskAreaEnumeratorPtr = std::shared_ptr<Vhd::Enumerator<Vhd::DiskArea>>;

// Maps each region area to the entries it touches and enumerates them.
class BatRegionAreaCollector final : public Vhd::Collector<Vhd::BatRegionArea> {
 public:
  BatRegionAreaCollector(const BatRegionAreaToIndexMap& map, Vhd::IndexedEntryEnumerator<BatEntry>& enumerator,
                         BatEntryCollector& target)
      : map_(map), enumerator_(enumerator), target_(target) {}
  bool Collect(const Vhd::BatRegionArea& area) override {
    auto [first, end] = map_.Map(area);
    return enumerator_.Enumerate(first, end, target_);
  }

 private:
  const BatRegionAreaToIndexMap& map_;
  Vhd::IndexedEntryEnumerator<BatEntry>& enumerator_;
  BatEntryCollector& target_;
};

// Runs the per-block enumerator of each payload entry into a collector of
// sector intervals; bitmap entries are skipped.
class BatEntryToDiskAreaCollector final : public BatEntryCollector {
 public:
  BatEntryToDiskAreaCollector(const BatIndexTraits& traits, Vhd::Array<DiskAreaEnumeratorPtr>& enumerators,
                              Vhd::Collector<Vhd::DiskArea>& target)
      : traits_(traits), enumerators_(enumerators), target_(target) {}
  bool Collect(uint32_t index, const BatEntry&) override {
    if (traits_.IsBitmapEntry(index)) return true;
    return enumerators_.Get(traits_.PayloadBlockNumber(index))->Enumerate(target_);
  }

 private:
  const BatIndexTraits& traits_;
  Vhd::Array<DiskAreaEnumeratorPtr>& enumerators_;
  Vhd::Collector<Vhd::DiskArea>& target_;
};

// Whole-block states (1, 2, 3, 6) to one collector, partially present blocks
// to another; blocks not present here and bitmap entries are accepted as is.
class DispatchingBatEntryCollector final : public BatEntryCollector {
 public:
  DispatchingBatEntryCollector(const BatIndexTraits& traits, BatEntryCollector& wholeBlocks,
                               BatEntryCollector& partialBlocks)
      : traits_(traits), whole_(wholeBlocks), partial_(partialBlocks) {}
  bool Collect(uint32_t index, const BatEntry& entry) override {
    if (traits_.IsBitmapEntry(index)) return true;
    switch (entry.State()) {
      case kBlockUndefined:
      case kBlockZero:
      case kBlockUnmapped:
      case kBlockFullyPresent:
        return whole_.Collect(index, entry);
      case kBlockPartiallyPresent:
        return partial_.Collect(index, entry);
      default:
        return true;
    }
  }

 private:
  const BatIndexTraits& traits_;
  BatEntryCollector& whole_;
  BatEntryCollector& partial_;
};

// Reports the whole block of each payload entry that holds no data in this
// file (states 0 to 3): a table write that emptied a block changed all of it.
class EmptyBatEntryToDiskAreaCollector final : public BatEntryCollector {
 public:
  EmptyBatEntryToDiskAreaCollector(const BatIndexTraits& traits, uint32_t sectorsPerBlock,
                                   Vhd::Collector<Vhd::DiskArea>& target)
      : traits_(traits), blockTraits_(sectorsPerBlock), target_(target) {}
  bool Collect(uint32_t index, const BatEntry& entry) override {
    if (traits_.IsBitmapEntry(index) || entry.State() > kBlockUnmapped) return true;
    return target_.Collect(blockTraits_.BlockInterval(traits_.PayloadBlockNumber(index)));
  }

 private:
  const BatIndexTraits& traits_;
  BlockSizeAwareDataBlockTraits blockTraits_;
  Vhd::Collector<Vhd::DiskArea>& target_;
};

// A payload block with data in the file.
struct DataBlockInfo {
  uint64_t fileOffset = 0;   // bytes
  uint64_t firstSector = 0;  // on the virtual disk
  bool fullyPresent = false;
  uint64_t length = 0;  // bytes the block spans in the file
};

// Data blocks by file offset; touching blocks are distinct, overlapping ones
// collide and are refused.
class CollectingDataBlockInfoMap : public Vhd::Collector<DataBlockInfo> {
 public:
  // Reports the blocks that overlap the byte interval, in file order.
  virtual bool Find(const Vhd::DiskArea& bytes, Vhd::Collector<DataBlockInfo>& collector) const = 0;
};

class RegionIndexedCollectingDataBlockInfoMap final : public CollectingDataBlockInfoMap {
 public:
  // Throws "BAT contains a data block that intersects with other data
  // blocks..." for a block that overlaps one already present.
  bool Collect(const DataBlockInfo& block) override;
  bool Find(const Vhd::DiskArea& bytes, Vhd::Collector<DataBlockInfo>& collector) const override;
  size_t Count() const { return blocks_.size(); }

 private:
  struct Less {
    using is_transparent = void;
    bool operator()(const DataBlockInfo& a, const DataBlockInfo& b) const {
      return b.fileOffset >= a.fileOffset + a.length;
    }
    bool operator()(const DataBlockInfo& a, const Vhd::DiskArea& b) const { return b.start >= a.fileOffset + a.length; }
    bool operator()(const Vhd::DiskArea& a, const DataBlockInfo& b) const { return b.fileOffset >= a.start + a.length; }
  };
  std::set<DataBlockInfo, Less> blocks_;
};

// Payload entries in state 6 or 7 become data blocks of the map.
class PayloadBatEntryToBlockInfoCollector final : public BatEntryCollector {
 public:
  PayloadBatEntryToBlockInfoCollector(const BatIndexTraits& traits, uint32_t sectorsPerBlock, uint64_t blockSize,
                                      Vhd::Collector<DataBlockInfo>& target)
      : traits_(traits), blockTraits_(sectorsPerBlock), blockSize_(blockSize), target_(target) {}
  bool Collect(uint32_t index, const BatEntry& entry) override {
    if (traits_.IsBitmapEntry(index)) return true;
    uint32_t state = entry.State();
    if (state != kBlockFullyPresent && state != kBlockPartiallyPresent) return true;
    return target_.Collect({entry.FileOffset(), blockTraits_.FirstSector(traits_.PayloadBlockNumber(index)),
                            state == kBlockFullyPresent, blockSize_});
  }

 private:
  const BatIndexTraits& traits_;
  BlockSizeAwareDataBlockTraits blockTraits_;
  uint64_t blockSize_;
  Vhd::Collector<DataBlockInfo>& target_;
};

// Checks the placement of every present payload and bitmap block of a
// table: a block that overlaps another block or one of the reserved byte
// areas (headers, log, metadata, the table itself) refuses the opening.
void ValidateBlockPlacement(Vhd::Array<BatEntry>& entries, uint32_t entryCount, uint32_t chunkRatio, uint64_t blockSize,
                            const std::vector<Vhd::DiskArea>& reserved);

}  // namespace Vhdx
