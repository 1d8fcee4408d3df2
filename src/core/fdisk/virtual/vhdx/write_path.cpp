// Writing sectors: per chunk a chunk writer by disk kind, per block a block
// writer by state. Data, file growth and new bitmap blocks first; then one
// barrier; then the bits of existing bitmap blocks and one write of the
// changed BAT area. A crash or power loss may lose the request, never what
// an entry already pointed at.
#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/block_reader.h"
#include "core/fdisk/virtual/vhdx/chunk_writer.h"
#include "core/fdisk/virtual/vhdx/read_path.h"

namespace Vhdx {

namespace {

std::unique_ptr<ChunkWriter> CreateChunkWriter(const DataPathLayout& layout, uint32_t ratio, uint32_t sectorsPerBlock,
                                               uint64_t* entries, File& structureFile, File& dataFile,
                                               BitmapSource& loader) {
  switch (layout.diskKind) {
    case kDiskFixed:
    case kDiskDynamic:
      return std::make_unique<NonDifferencingDiskChunkWriter>(entries, sectorsPerBlock, dataFile, layout.blockSize);
    case kDiskDifferencing: {
      uint64_t& bitmapEntry = entries[ratio];
      std::unique_ptr<BitmapStore> store;
      switch (BatEntry{bitmapEntry}.State()) {
        case kBlockNotPresent:
          store = std::make_unique<NewBitmapStore>(structureFile, bitmapEntry);
          break;
        case kBlockFullyPresent:
          store = std::make_unique<ExistingBitmapStore>(loader, structureFile, BatEntry{bitmapEntry});
          break;
        default:
          ThrowUnknownBlockState("CreateChunkWriter");
      }
      return std::make_unique<DifferencingDiskChunkWriter>(entries, sectorsPerBlock, dataFile, layout.blockSize,
                                                           std::move(store));
    }
    default:
      HV_THROW(Code::kUnknownFileType, Msg::kUnknownFileType, "CreateChunkWriter");
  }
}

}  // namespace

void DataPath::Write(uint64_t first, uint64_t count, const uint8_t* buffer) {
  CheckBound(first, count, "Write");
  if (count == 0) return;
  std::shared_ptr<BatArea> area = LoadBatArea(first, count);
  try {
    WriteChunks(*area, first, count, buffer);
  } catch (...) {
    // Entries changed in memory did not reach the file: forget them.
    cachedArea_.reset();
    throw;
  }
}

void DataPath::WriteBatEntry(const BatArea& area, uint64_t index) {
  const uint64_t byteOffset = (area.firstChunk * (uint64_t{chunks_.ChunkRatio()} + 1) + index) * 8;
  if (byteOffset + 8 > layout_.batLength) return;
  structureFile_->Write(layout_.batOffset + byteOffset, 8, &area.entries[index]);
}

void DataPath::WriteChunks(BatArea& area, uint64_t first, uint64_t count, const uint8_t* buffer) {
  const uint64_t sectorSize = layout_.logicalSectorSize;
  const uint32_t sectorsPerBlock = chunks_.SectorsPerBlock();
  const uint32_t ratio = chunks_.ChunkRatio();
  const uint64_t perChunk = uint64_t{ratio} + 1;
  BitmapLoader loader(*dataFile_);
  std::vector<std::unique_ptr<ChunkWriter>> pending;  // bits to write after the barrier
  std::vector<uint64_t> placedBitmaps;                // area indexes of new bitmap entries
  bool anyModified = false, bitsBeforeEntries = false;
  const uint64_t end = first + count;
  for (uint64_t pos = first; pos < end;) {
    const uint64_t k = (pos >> 23) - area.firstChunk;
    uint64_t* entries = area.entries.data() + k * perChunk;
    auto chunk = CreateChunkWriter(layout_, ratio, sectorsPerBlock, entries, *structureFile_, *dataFile_, loader);
    const uint64_t o = pos & kChunkSectorMask;
    const uint64_t n = std::min(kSectorsPerChunk - o, end - pos);
    for (uint64_t s = o; s < o + n;) {
      const auto block = static_cast<uint32_t>(s / sectorsPerBlock);
      const uint64_t i = s % sectorsPerBlock;
      const uint64_t length = std::min<uint64_t>(sectorsPerBlock - i, o + n - s);
      if (s - o + length > n) HV_THROW(Code::kBufferOffsetOutOfBounds, Msg::kBufferOffsetOutOfBounds, "Write");
      auto writer = chunk->CreateBlockWriter(block);
      writer->Write(i, {sectorSize, buffer + ((pos - first) + (s - o)) * sectorSize, length});
      if (writer->Modified()) chunk->SetModified();
      bitsBeforeEntries = bitsBeforeEntries || writer->BitsBeforeEntry();
      s += length;
    }
    chunk->Place();
    if (chunk->BitmapPlaced()) placedBitmaps.push_back(k * perChunk + ratio);
    anyModified = anyModified || chunk->Modified();
    if (chunk->Pending()) pending.push_back(std::move(chunk));
    pos += n;
  }
  if (!anyModified && pending.empty()) return;
  // Data written into new space, new bitmap blocks and the growth of the
  // file reach the disk before anything that points at them or claims them:
  // one barrier for a request that changes structures, none for one that
  // only rewrites data in place.
  dataFile_->Flush();
  for (auto& chunk : pending) chunk->Commit();
  if (!anyModified) return;
  // Rare cases that need the order of two table writes kept across a power
  // loss: a block entry must not land before the entry of the chunk's new
  // bitmap, nor before stale bits of its block were cleared.
  for (uint64_t index : placedBitmaps) WriteBatEntry(area, index);
  if (!placedBitmaps.empty() || (bitsBeforeEntries && !pending.empty())) dataFile_->Flush();
  // Block entries lie between the first and the last block the request
  // touched; only the last chunk's bitmap entry can lie past them.
  const uint64_t firstIndex =
      ((first >> 23) - area.firstChunk) * perChunk + (first & kChunkSectorMask) / sectorsPerBlock;
  const uint64_t lastChunk = ((end - 1) >> 23) - area.firstChunk;
  const uint64_t endIndex = lastChunk * perChunk + ((end - 1) & kChunkSectorMask) / sectorsPerBlock + 1;
  WriteBatEntries(area, firstIndex, endIndex);
  if (layout_.diskKind == kDiskDifferencing) WriteBatEntry(area, lastChunk * perChunk + ratio);
}

}  // namespace Vhdx
