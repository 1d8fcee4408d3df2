// The block allocation table: entry format, block states, the index
// arithmetic relating sectors, payload blocks, chunks and table indexes, and
// the loaded run of whole chunks that reads and writes work on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/fdisk/virtual/vhd/interval.h"

namespace Vhdx {

// Payload block states; a sector bitmap entry is only ever 0 or 6.
enum BlockState : uint32_t {
  kBlockNotPresent = 0,
  kBlockUndefined = 1,
  kBlockZero = 2,
  kBlockUnmapped = 3,
  kBlockFullyPresent = 6,
  kBlockPartiallyPresent = 7,
};

// Disk kinds derived from the file parameters.
inline constexpr uint32_t kDiskFixed = 2;
inline constexpr uint32_t kDiskDynamic = 3;
inline constexpr uint32_t kDiskDifferencing = 4;

inline constexpr uint64_t kMegabyte = 1ull << 20;
// One sector bitmap block of 1 MB holds one bit per sector of a chunk.
inline constexpr uint64_t kSectorsPerChunk = 1ull << 23;
inline constexpr uint64_t kChunkSectorMask = kSectorsPerChunk - 1;
inline constexpr uint64_t kSectorBitmapBytes = kMegabyte;

// One 64-bit little-endian word: state in bits 0-2, bits 3-19 reserved and
// preserved, file offset in MB in bits 20-63.
struct BatEntry {
  uint64_t value = 0;

  uint32_t State() const { return static_cast<uint32_t>(value & 7); }
  void SetState(uint32_t state) { value = (value & ~uint64_t{7}) | (state & 7); }
  uint64_t OffsetMb() const { return value >> 20; }
  void SetOffsetMb(uint64_t mb) { value = (value & 0xFFFFF) | (mb << 20); }
  uint64_t FileOffset() const { return OffsetMb() << 20; }
  friend bool operator==(const BatEntry&, const BatEntry&) = default;
};

class BatIndexTraits {
 public:
  virtual ~BatIndexTraits() = default;
  virtual bool IsBitmapEntry(uint32_t index) const = 0;
  virtual uint32_t PayloadBlockNumber(uint32_t index) const = 0;
};

class ParametrizedBatIndexTraits final : public BatIndexTraits {
 public:
  explicit ParametrizedBatIndexTraits(uint32_t chunkRatio) : ratio_(chunkRatio) {}
  bool IsBitmapEntry(uint32_t index) const override { return (uint64_t{index} + 1) % (uint64_t{ratio_} + 1) == 0; }
  uint32_t PayloadBlockNumber(uint32_t index) const override {
    return static_cast<uint32_t>(index - uint64_t{index} / (uint64_t{ratio_} + 1));
  }

 private:
  uint32_t ratio_;
};

struct ChunkSpan {
  uint64_t first = 0;
  uint64_t count = 0;
};

class ChunkTraits {
 public:
  // Sizes in bytes; CheckDiskGeometry must have accepted them.
  ChunkTraits(uint32_t logicalSectorSize, uint32_t blockSize)
      : ratio_(static_cast<uint32_t>((uint64_t{logicalSectorSize} << 23) / blockSize)),
        sectorsPerBlock_(blockSize / logicalSectorSize) {}

  uint32_t ChunkRatio() const { return ratio_; }
  uint32_t SectorsPerBlock() const { return sectorsPerBlock_; }
  uint32_t ChunkOfBlock(uint32_t block) const { return block / ratio_; }
  // The block's sectors relative to its chunk.
  Vhd::DiskArea BlockInChunk(uint32_t block) const {
    return {(uint64_t{block} * sectorsPerBlock_) & kChunkSectorMask, sectorsPerBlock_};
  }
  static ChunkSpan ChunksOf(uint64_t sector, uint64_t count) {
    // From sector + count, not its last sector: a request ending on a chunk
    // boundary also takes the following chunk.
    if (count == 0) return {sector >> 23, 0};
    return {sector >> 23, ((sector + count) >> 23) - (sector >> 23) + 1};
  }
  static uint64_t OffsetInChunk(uint64_t sector) { return sector & kChunkSectorMask; }
  static uint64_t SectorsInChunk(uint64_t sector, uint64_t count) {
    return std::min(kSectorsPerChunk - (sector & kChunkSectorMask), count);
  }

 private:
  uint32_t ratio_;
  uint32_t sectorsPerBlock_;
};

class BlockSizeAwareDataBlockTraits {
 public:
  explicit BlockSizeAwareDataBlockTraits(uint32_t sectorsPerBlock) : sectorsPerBlock_(sectorsPerBlock) {}
  uint64_t FirstSector(uint32_t block) const { return uint64_t{block} * sectorsPerBlock_; }
  Vhd::DiskArea BlockInterval(uint32_t block) const { return {FirstSector(block), sectorsPerBlock_}; }
  uint32_t SectorsPerBlock() const { return sectorsPerBlock_; }

 private:
  uint32_t sectorsPerBlock_;
};

// Throws unless the sector size is 512 or 4096 and the block size a power of
// two from 1 MB to 256 MB, the ranges the published format allows; every
// division and shift of the data path relies on it.
void CheckDiskGeometry(uint32_t logicalSectorSize, uint32_t blockSize);

// Payload blocks of a disk: ceil(size / block size).
uint64_t PayloadBlockCount(uint64_t virtualSize, uint32_t blockSize);
// Entries of the table: payload blocks plus one bitmap entry per full chunk
// before the last block (0 for an empty disk). The geometry must have passed
// CheckDiskGeometry.
uint64_t BatEntryCount(uint64_t virtualSize, uint32_t logicalSectorSize, uint32_t blockSize);

// A loaded run of whole chunks of entries, shared by the disk file's cache
// and the readers and writers that use it.
struct BatArea {
  uint64_t firstChunk = 0;
  uint64_t chunkCount = 0;
  std::vector<uint64_t> entries;  // chunkCount * (ratio + 1) words, host order
};

class BatRegionAreaToIndexMap {
 public:
  virtual ~BatRegionAreaToIndexMap() = default;
  // The index range [first, end) of the entries an area of the region touches.
  virtual std::pair<uint32_t, uint32_t> Map(const Vhd::BatRegionArea& area) const = 0;
};

class LimitedBatRegionAreaToIndexMap final : public BatRegionAreaToIndexMap {
 public:
  explicit LimitedBatRegionAreaToIndexMap(uint32_t limit) : limit_(limit) {}
  std::pair<uint32_t, uint32_t> Map(const Vhd::BatRegionArea& area) const override {
    if (area.length == 0) return {0, 0};
    uint64_t first = std::min<uint64_t>(limit_, area.start / 8);
    uint64_t end = std::min<uint64_t>(limit_, (area.start + area.length - 1) / 8 + 1);
    return {static_cast<uint32_t>(first), static_cast<uint32_t>(end)};
  }

 private:
  uint32_t limit_;
};

}  // namespace Vhdx
