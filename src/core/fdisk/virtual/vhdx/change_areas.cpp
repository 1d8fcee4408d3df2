// Mapping a file's changes to the sectors of the virtual disk: whole-file
// changes through the BAT and the sector bitmaps, changed byte ranges by the
// structure they fall in.
//
// What a changed byte range reports, by where it lies:
// - payload block (state 6 or 7): the sectors holding the changed bytes; in
//   a partially present block of a differencing file only those whose bits
//   are set, since the others read from the parents whatever the payload
//   holds (a bit that changed is reported through the bitmap, a parent's
//   change through the parent). A block the file allocated since therefore
//   reports the sectors written into it, not the whole block;
// - BAT entry of a block that now holds no data here (states 0 to 3): the
//   whole block;
// - sector bitmap block: the sectors whose bits lie in the changed bytes, for
//   the blocks of that chunk in state 6 or 7. Bits decide what a partially
//   present block reads, and a block that became fully present since may
//   have done so through bits alone (zeros written over zeros). Blocks in
//   states 0 to 3 read the same whatever their bits say, and a block that
//   entered one of those states changed its BAT entry;
// - region table: the whole disk (the BAT or the metadata may have moved);
// - metadata region: the whole disk when the bytes touch the table entry or
//   the data of a system item (disk size, sector sizes, block size, parent
//   locator, ...); nothing for user items, the table header and free space,
//   since no system item can change without its entry or its data changing;
// - headers and log: nothing. Headers carry GUIDs and the log's place; a log
//   only takes effect through the structures it is applied to, which are
//   tracked themselves, and a log still pending when the file is opened is
//   replayed, which makes any change report the whole disk.
#include <algorithm>

#include "core/fdisk/virtual/vhdx/bat_collector.h"
#include "core/fdisk/virtual/vhdx/block_reader.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/collector.h"
#include "core/fdisk/virtual/vhdx/enumerator.h"
#include "core/fdisk/virtual/vhdx/file_region.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/read_path.h"
#include "core/fdisk/virtual/vhdx/region_table.h"

namespace Vhdx {

namespace {

using Vhd::DiskArea;

// The overlap of two byte intervals; empty when they do not meet.
DiskArea Overlap(const DiskArea& a, const DiskArea& b) {
  uint64_t start = std::max(a.start, b.start);
  uint64_t end = std::min(a.End(), b.End());
  return end > start ? DiskArea{start, end - start} : DiskArea{start, 0};
}

// The sectors of a payload block that the block itself supplies: all of
// them, but in a partially present block only those whose bits are set.
class SuppliedSectors {
 public:
  SuppliedSectors(Vhd::Array<BatEntry>& entries, Vhd::Array<BitmapPtr>& blockBitmaps, const ChunkTraits& chunks)
      : entries_(entries), bitmaps_(blockBitmaps), chunks_(chunks) {}
  // Collects those of sectors [first, end) of block number block.
  bool Collect(uint32_t block, uint64_t first, uint64_t end, Vhd::Collector<DiskArea>& target) {
    const uint64_t index = uint64_t{block} + block / chunks_.ChunkRatio();
    if (index > UINT32_MAX || entries_.Get(static_cast<uint32_t>(index)).State() != kBlockPartiallyPresent) {
      return target.Collect({first, end - first});
    }
    const uint64_t base = uint64_t{block} * chunks_.SectorsPerBlock();
    BitmapPtr bits;
    try {
      bits = bitmaps_.Get(block);
    } catch (const Common::Error&) {
      // Bits that cannot be read cannot narrow anything: a change is never
      // left out (reading those sectors fails on its own).
      return target.Collect({first, end - first});
    }
    const uint64_t to = std::min<uint64_t>(end - base, bits->Size());
    for (uint64_t p = bits->FindInRange(first - base, to - (first - base), true); p < to;) {
      const uint64_t q = bits->FindInRange(p, to - p, false);
      if (!target.Collect({base + p, q - p})) return false;
      if (q >= to) break;
      p = bits->FindInRange(q, to - q, true);
    }
    return true;
  }

 private:
  Vhd::Array<BatEntry>& entries_;
  Vhd::Array<BitmapPtr>& bitmaps_;
  const ChunkTraits& chunks_;
};

// Sectors holding the changed bytes of each overlapping block; a change of
// any byte marks its whole sector. supplied, when given (a differencing
// file), keeps those the block supplies.
class TranslatingDataBlockInfoCollector final : public Vhd::Collector<DataBlockInfo> {
 public:
  TranslatingDataBlockInfoCollector(uint64_t sectorSize, uint32_t sectorsPerBlock, SuppliedSectors* supplied,
                                    Vhd::Collector<DiskArea>& target)
      : sectorSize_(sectorSize), sectorsPerBlock_(sectorsPerBlock), supplied_(supplied), target_(target) {}
  void SetRange(const DiskArea& bytes) { bytes_ = bytes; }
  bool Collect(const DataBlockInfo& block) override {
    DiskArea overlap = Overlap(bytes_, {block.fileOffset, block.length});
    if (overlap.length == 0) return true;
    uint64_t r = overlap.start - block.fileOffset;
    uint64_t first = block.firstSector + r / sectorSize_;
    uint64_t last = block.firstSector + (r + overlap.length + sectorSize_ - 1) / sectorSize_;
    if (supplied_) {
      return supplied_->Collect(static_cast<uint32_t>(block.firstSector / sectorsPerBlock_), first, last, target_);
    }
    return target_.Collect({first, last - first});
  }

 private:
  uint64_t sectorSize_;
  uint32_t sectorsPerBlock_;
  SuppliedSectors* supplied_;
  Vhd::Collector<DiskArea>& target_;
  DiskArea bytes_;
};

// File byte ranges of the table entries and the data of the system items.
std::vector<DiskArea> SystemMetadataAreas(const std::shared_ptr<File>& file, const DataPathLayout& layout) {
  std::vector<DiskArea> areas;
  if (layout.metadataLength == 0) return areas;
  auto region = MakeReadOnlyFileRegion(file, {layout.metadataOffset, layout.metadataLength});
  std::vector<MetadataEntry> entries = ReadMetadataTable(*region);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].descriptor.IsUser()) continue;
    areas.push_back({layout.metadataOffset + 32 + uint64_t{kMetadataEntrySize} * i, kMetadataEntrySize});
    areas.push_back({layout.metadataOffset + entries[i].offset, entries[i].length});
  }
  return areas;
}

// Routes each changed byte range to the rules above.
class ChangedRangeRouter final : public Vhd::Collector<DiskArea> {
 public:
  struct Rules {
    DiskArea batRegion;
    Vhd::Collector<Vhd::BatRegionArea>* bat;
    const DataBlockInfoMap* blocks;
    TranslatingDataBlockInfoCollector* payload;
    const BlockPlacement* placement;
    const std::vector<DiskArea>* systemMetadata;
  };
  ChangedRangeRouter(Rules rules, Vhd::Array<BatEntry>& entries, uint32_t entryCount, const ChunkTraits& chunks,
                     uint64_t sectorCount, Vhd::Collector<DiskArea>& target)
      : rules_(std::move(rules)),
        entries_(entries),
        entryCount_(entryCount),
        chunks_(chunks),
        sectorCount_(sectorCount),
        target_(target) {}

  bool Collect(const DiskArea& bytes) override {
    if (TouchesWholeDiskStructure(bytes)) return target_.Collect({0, sectorCount_});
    DiskArea bat = Overlap(bytes, rules_.batRegion);
    if (bat.length) {
      Vhd::BatRegionArea area{bat.start - rules_.batRegion.start,
                              static_cast<uint32_t>(std::min<uint64_t>(bat.length, UINT32_MAX))};
      if (!rules_.bat->Collect(area)) return false;
    }
    if (!CollectBitmapChanges(bytes)) return false;
    rules_.payload->SetRange(bytes);
    return rules_.blocks->Find(bytes, *rules_.payload);
  }

 private:
  bool TouchesWholeDiskStructure(const DiskArea& bytes) const {
    if (Overlap(bytes, {kRegionTableOffsets[0], 2 * kRegionTableSize}).length) return true;
    for (const DiskArea& area : *rules_.systemMetadata)
      if (Overlap(bytes, area).length) return true;
    return false;
  }

  // The placement knows every sector bitmap block, including those written
  // since the file was opened.
  bool CollectBitmapChanges(const DiskArea& bytes) {
    struct Bitmaps final : Vhd::Collector<PlacedBlock> {
      Bitmaps(ChangedRangeRouter& router, const DiskArea& bytes) : router(router), bytes(bytes) {}
      bool Collect(const PlacedBlock& block) override {
        if (!block.bitmap) return true;
        const DiskArea changed = Overlap(bytes, {block.fileOffset, block.length});
        const uint64_t chunk = (uint64_t{block.batIndex} + 1) / (uint64_t{router.chunks_.ChunkRatio()} + 1) - 1;
        return router.CollectChunkBits(chunk, changed.start - block.fileOffset, changed.length);
      }
      ChangedRangeRouter& router;
      const DiskArea& bytes;
    } bitmaps(*this, bytes);
    return rules_.placement->Find(bytes, bitmaps);
  }

  // Bytes [offset, offset + length) of the chunk's bitmap changed.
  bool CollectChunkBits(uint64_t chunk, uint64_t offset, uint64_t length) {
    const DiskArea bits{offset * 8, length * 8};
    const uint32_t sectorsPerBlock = chunks_.SectorsPerBlock();
    const uint64_t perChunk = uint64_t{chunks_.ChunkRatio()} + 1;
    for (uint64_t j = bits.start / sectorsPerBlock; j * sectorsPerBlock < bits.End(); ++j) {
      const uint64_t index = chunk * perChunk + j;
      if (index >= entryCount_ || j >= chunks_.ChunkRatio()) break;
      const uint32_t state = entries_.Get(static_cast<uint32_t>(index)).State();
      if (state != kBlockPartiallyPresent && state != kBlockFullyPresent) continue;
      DiskArea sectors = Overlap(bits, {j * sectorsPerBlock, sectorsPerBlock});
      if (!target_.Collect({chunk * kSectorsPerChunk + sectors.start, sectors.length})) return false;
    }
    return true;
  }

  Rules rules_;
  Vhd::Array<BatEntry>& entries_;
  uint32_t entryCount_;
  const ChunkTraits& chunks_;
  uint64_t sectorCount_;
  Vhd::Collector<DiskArea>& target_;
};

}  // namespace

void DataPath::SetMetadataRegion(uint64_t offset, uint64_t length) noexcept {
  layout_.metadataOffset = offset;
  layout_.metadataLength = length;
  systemMetadata_.reset();
}

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
  const BlockPlacement& placement = *Placement();
  DataBlockInfoMap blockMap(placement, chunks_.ChunkRatio(), sectorsPerBlock);
  if (!systemMetadata_) systemMetadata_ = SystemMetadataAreas(dataFile_, layout_);

  EmptyBatEntryToDiskAreaCollector emptied(traits, sectorsPerBlock, clipped);
  LimitedBatRegionAreaToIndexMap indexMap(entryCount_);
  BatRegionAreaCollector batAreas(indexMap, entryEnumerator, emptied);
  BitmapLoader loader(*dataFile_);
  LoadingBitmapArray loading(entries, loader, chunks_.ChunkRatio());
  CachingBitmapArray caching(loading);
  BlockBitmapArray blockBitmaps(caching, chunks_);
  SuppliedSectors supplied(entries, blockBitmaps, chunks_);
  TranslatingDataBlockInfoCollector payload(layout_.logicalSectorSize, sectorsPerBlock,
                                            layout_.diskKind == kDiskDifferencing ? &supplied : nullptr, clipped);
  ChangedRangeRouter::Rules rules{
      {layout_.batOffset, layout_.batLength}, &batAreas, &blockMap, &payload, &placement, &*systemMetadata_};
  ChangedRangeRouter router(std::move(rules), entries, entryCount_, chunks_, sectorCount_, clipped);
  ranges.Enumerate(router);
}

}  // namespace Vhdx
