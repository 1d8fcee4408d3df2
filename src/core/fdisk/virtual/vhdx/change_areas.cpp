// Mapping a file's changes to the sectors of the virtual disk: whole-file
// changes through the BAT and the sector bitmaps, changed byte ranges by the
// region they fall in (BAT entries or payload blocks).
#include "core/fdisk/virtual/vhdx/bat_collector.h"
#include "core/fdisk/virtual/vhdx/block_reader.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/collector.h"
#include "core/fdisk/virtual/vhdx/enumerator.h"
#include "core/fdisk/virtual/vhdx/read_path.h"

namespace Vhdx {

namespace {

using Vhd::DiskArea;

// Sectors holding the changed bytes of each overlapping block; a change of
// any byte marks its whole sector.
class TranslatingDataBlockInfoCollector final : public Vhd::Collector<DataBlockInfo> {
 public:
  TranslatingDataBlockInfoCollector(uint64_t sectorSize, Vhd::Collector<DiskArea>& target)
      : sectorSize_(sectorSize), target_(target) {}
  void SetRange(const DiskArea& bytes) { bytes_ = bytes; }
  bool Collect(const DataBlockInfo& block) override {
    uint64_t start = std::max<uint64_t>(bytes_.start, block.fileOffset);
    uint64_t end = std::min<uint64_t>(bytes_.End(), block.fileOffset + block.length);
    if (end <= start) return true;
    uint64_t r = start - block.fileOffset;
    uint64_t n = end - start;
    uint64_t first = block.firstSector + r / sectorSize_;
    uint64_t last = block.firstSector + (r + n + sectorSize_ - 1) / sectorSize_;
    return target_.Collect({first, last - first});
  }

 private:
  uint64_t sectorSize_;
  Vhd::Collector<DiskArea>& target_;
  DiskArea bytes_;
};

// Routes each changed byte range to the BAT rule and the payload rule.
class RegionCollectorComposite final : public Vhd::Collector<DiskArea> {
 public:
  RegionCollectorComposite(DiskArea batRegion, Vhd::Collector<Vhd::BatRegionArea>& bat, const DataBlockInfoMap& blocks,
                           TranslatingDataBlockInfoCollector& payload)
      : batRegion_(batRegion), bat_(bat), blocks_(blocks), payload_(payload) {}
  bool Collect(const DiskArea& bytes) override {
    uint64_t start = std::max<uint64_t>(bytes.start, batRegion_.start);
    uint64_t end = std::min<uint64_t>(bytes.End(), batRegion_.End());
    if (start < end) {
      Vhd::BatRegionArea area{start - batRegion_.start,
                              static_cast<uint32_t>(std::min<uint64_t>(end - start, UINT32_MAX))};
      if (!bat_.Collect(area)) return false;
    }
    payload_.SetRange(bytes);
    return blocks_.Find(bytes, payload_);
  }

 private:
  DiskArea batRegion_;
  Vhd::Collector<Vhd::BatRegionArea>& bat_;
  const DataBlockInfoMap& blocks_;
  TranslatingDataBlockInfoCollector& payload_;
};

}  // namespace

void DataPath::CollectChangedAreas(Vhd::ChangedFile& changes, Vhd::Collector<DiskArea>& collector) {
  const bool whole = changes.IsWholeFileChanged();
  IntersectedIntervalCollector<DiskArea> clipped({0, sectorCount_}, collector);
  ParametrizedBatIndexTraits traits(chunks_.ChunkRatio());
  FileRegionBatEntryArray entries(*dataFile_, layout_.batOffset, layout_.batLength);
  Vhd::ArrayEntryEnumerator<BatEntry> entryEnumerator(entries);
  const uint32_t sectorsPerBlock = chunks_.SectorsPerBlock();

  if (whole) {
    if (layout_.diskKind == kDiskFixed) {
      clipped.Collect({0, sectorCount_});
      return;
    }
    BlockDiskAreaEnumeratorArray blocks(sectorsPerBlock);
    BatEntryToDiskAreaCollector wholeBlocks(traits, blocks, clipped);
    BitmapLoader loader(*dataFile_);
    LoadingBitmapArray loading(entries, loader, chunks_.ChunkRatio());
    CachingBitmapArray caching(loading);
    BlockBitmapArray blockBitmaps(caching, chunks_);
    BlockBitmapDiskAreaEnumeratorArray bitmapAreas(blockBitmaps, sectorsPerBlock);
    BatEntryToDiskAreaCollector partialBlocks(traits, bitmapAreas, clipped);
    DispatchingBatEntryCollector dispatch(traits, wholeBlocks, partialBlocks);
    entryEnumerator.Enumerate(0, entryCount_, dispatch);
    return;
  }

  Vhd::ChangedFileRegionEnumerator ranges(changes);
  if (layout_.logReplayed) {
    // A replayed log rewrote structures behind the tracker's back: any
    // change may mean anything.
    FixedValueReportingCollector<DiskArea> everything({0, sectorCount_}, clipped);
    ranges.Enumerate(everything);
    return;
  }
  PayloadBlockInfoMap blockMap(*Placement(), chunks_.ChunkRatio(), sectorsPerBlock);

  EmptyBatEntryToDiskAreaCollector emptied(traits, sectorsPerBlock, clipped);
  LimitedBatRegionAreaToIndexMap indexMap(entryCount_);
  BatRegionAreaCollector batAreas(indexMap, entryEnumerator, emptied);
  TranslatingDataBlockInfoCollector payload(layout_.logicalSectorSize, clipped);
  RegionCollectorComposite router({layout_.batOffset, layout_.batLength}, batAreas, blockMap, payload);
  ranges.Enumerate(router);
}

}  // namespace Vhdx
