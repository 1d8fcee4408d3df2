// Collectors of (index, entry) pairs of the block allocation table and the
// collector of BAT region byte areas.
#pragma once

#include <memory>

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

}  // namespace Vhdx
