#include "core/fdisk/virtual/vhdx/read_path.h"

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/bat_collector.h"
#include "core/fdisk/virtual/vhdx/block_reader.h"

namespace Vhdx {

namespace {

ChunkTraits CheckedChunkTraits(const DataPathLayout& layout) {
  CheckDiskGeometry(layout.logicalSectorSize, layout.blockSize);
  return ChunkTraits(layout.logicalSectorSize, layout.blockSize);
}

}  // namespace

BatEntry FileRegionBatEntryArray::Get(uint32_t index) {
  if (uint64_t{index} * 8 + 8 > length_) HV_THROW(Code::kBatIndexOutOfBounds, Msg::kBatIndexOutOfBounds, "Get");
  if (index < windowFirst_ || index - windowFirst_ >= window_.size()) {
    windowFirst_ = index - index % kWindowEntries;
    uint64_t count = std::min<uint64_t>(kWindowEntries, length_ / 8 - windowFirst_);
    window_.assign(count, 0);
    file_.Read(offset_ + windowFirst_ * 8, count * 8, window_.data());
  }
  return BatEntry{window_[index - windowFirst_]};
}

DataPath::DataPath(const DataPathLayout& layout, std::shared_ptr<File> structureFile, std::shared_ptr<File> dataFile)
    : layout_(layout),
      chunks_(CheckedChunkTraits(layout)),
      sectorCount_(layout.virtualSize / layout.logicalSectorSize),
      entryCount_(0),
      structureFile_(std::move(structureFile)),
      dataFile_(std::make_shared<ZeroExtendedFile>(std::move(dataFile))) {
  uint64_t entries = BatEntryCount(layout.virtualSize, layout.logicalSectorSize, layout.blockSize);
  if (entries > UINT32_MAX || entries * 8 > layout.batLength) {
    HV_THROW(Code::kBatRegionTooSmall, Msg::kBatRegionTooSmall, "Init");
  }
  entryCount_ = static_cast<uint32_t>(entries);
}

void DataPath::CheckBound(uint64_t first, uint64_t count, const char* function) const {
  uint64_t last = count == 0 ? first : first + count - 1;
  if (last < first || last >= sectorCount_) {
    Common::Throw(Common::MakeError(Code::kAccessBeyondAllocation, Msg::kAccessBeyondAllocation, HV_SITE(function)));
  }
}

std::shared_ptr<BatArea> DataPath::LoadBatArea(uint64_t first, uint64_t count) {
  ChunkSpan span = ChunkTraits::ChunksOf(first, count);
  if (cachedArea_ && cachedArea_->firstChunk == span.first && cachedArea_->chunkCount == span.count) {
    return cachedArea_;
  }
  const uint64_t perChunk = uint64_t{chunks_.ChunkRatio()} + 1;
  auto area = std::make_shared<BatArea>();
  area->firstChunk = span.first;
  area->chunkCount = span.count;
  area->entries.assign(span.count * perChunk, 0);
  // The last chunk may reach past the region (and a request ending on the
  // disk's last chunk boundary takes one chunk more): those entries read as
  // not present.
  uint64_t byteOffset = span.first * perChunk * 8;
  if (byteOffset < layout_.batLength) {
    uint64_t bytes = std::min<uint64_t>(area->entries.size() * 8, layout_.batLength - byteOffset);
    if (bytes) dataFile_->Read(layout_.batOffset + byteOffset, bytes, area->entries.data());
  }
  cachedArea_ = area;
  return area;
}

void DataPath::WriteBatEntries(const BatArea& area, uint64_t firstIndex, uint64_t endIndex) {
  const uint64_t perChunk = uint64_t{chunks_.ChunkRatio()} + 1;
  endIndex = std::min<uint64_t>(endIndex, area.entries.size());
  uint64_t byteOffset = (area.firstChunk * perChunk + firstIndex) * 8;
  if (firstIndex < endIndex && byteOffset < layout_.batLength) {
    uint64_t bytes = std::min<uint64_t>((endIndex - firstIndex) * 8, layout_.batLength - byteOffset);
    structureFile_->Write(layout_.batOffset + byteOffset, bytes, area.entries.data() + firstIndex);
  }
  if (placement_) placement_->Update(area);
}

const std::shared_ptr<BlockPlacement>& DataPath::Placement() {
  if (!placement_) PlaceBlocks({}, false);
  return placement_;
}

void DataPath::PlaceBlocks(const std::vector<Vhd::DiskArea>& reserved, bool writable) {
  PlacementLayout placement;
  placement.entryCount = entryCount_;
  placement.chunkRatio = chunks_.ChunkRatio();
  placement.blockSize = layout_.blockSize;
  placement.virtualSize = layout_.virtualSize;
  placement.batOffset = layout_.batOffset;
  placement.batLength = layout_.batLength;
  placement.reserved = reserved;
  placement.writable = writable;
  placement_ = BlockPlacement::Build(*dataFile_, placement);
  // The writers place new space at the size these report.
  dataFile_ = std::make_shared<PlacementEndFile>(dataFile_, placement_);
  structureFile_ = std::make_shared<PlacementEndFile>(structureFile_, placement_);
}

void DataPath::Read(uint64_t first, Vhd::Bitmap& needed, uint8_t* buffer) {
  const uint64_t count = needed.Size();
  CheckBound(first, count, "Read");
  const uint64_t sectorSize = layout_.logicalSectorSize;
  const uint64_t sectorsPerBlock = chunks_.SectorsPerBlock();
  const uint64_t perChunk = uint64_t{chunks_.ChunkRatio()} + 1;
  const bool differencing = layout_.diskKind == kDiskDifferencing;
  SectorRequest request{sectorSize, buffer, needed, 0, count};

  uint64_t pos = request.NextNeeded(0);
  if (pos >= count) return;
  std::shared_ptr<BatArea> area = LoadBatArea(first + pos, count - pos);
  BitmapLoader loader(*dataFile_);
  while (pos < count) {
    const uint64_t sector = first + pos;
    const uint64_t k = (sector >> 23) - area->firstChunk;
    const uint64_t* entries = area->entries.data() + k * perChunk;
    const uint64_t o = sector & kChunkSectorMask;
    const uint64_t n = std::min(kSectorsPerChunk - o, count - pos);
    SectorRequest part = request.Sub(pos, n);
    BitmapPtr chunkBitmap;  // loaded at most once per chunk

    uint64_t j = part.NextNeeded(0);
    while (j < n) {
      const uint64_t b = (o + j) / sectorsPerBlock;
      const uint64_t i = (o + j) % sectorsPerBlock;
      const uint64_t length = std::min(n - j, sectorsPerBlock - i);
      const BatEntry entry{entries[b]};
      SectorRequest blockPart = part.Sub(j, length);
      switch (entry.State()) {
        case kBlockNotPresent:
          if (!differencing) ZeroFillingBlockReader().Read(i, blockPart);
          break;
        case kBlockUndefined:
        case kBlockZero:
        case kBlockUnmapped:
          ZeroFillingBlockReader().Read(i, blockPart);
          break;
        case kBlockFullyPresent:
          WholeBlockReader(*dataFile_, entry.FileOffset()).Read(i, blockPart);
          break;
        case kBlockPartiallyPresent: {
          if (!differencing) ThrowPartiallyPresentInNonDifferencing("Read");
          if (!chunkBitmap) chunkBitmap = loader.Load(BatEntry{entries[chunks_.ChunkRatio()]});
          BitmappedBlockReader(*dataFile_, entry.FileOffset(), chunkBitmap->Sub(b * sectorsPerBlock, sectorsPerBlock))
              .Read(i, blockPart);
          break;
        }
        default:
          ThrowUnknownBlockState("Read");
      }
      j = part.NextNeeded(j + length);
    }
    pos = request.NextNeeded(pos + n);
  }
}

}  // namespace Vhdx
