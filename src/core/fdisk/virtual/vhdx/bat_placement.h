// Where the blocks of one VHDX file lie. Built once per opening from the
// whole table: every present payload and sector bitmap block, checked
// against the other blocks and the file's fixed structures, kept as one
// sorted array of 64-bit keys (8 bytes per block, no node per block), and
// the end of everything the file holds, after which new space goes. Change
// tracking finds the blocks under a changed byte range through it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

struct PlacedBlock {
  uint64_t fileOffset = 0;
  uint64_t length = 0;
  uint32_t batIndex = 0;
  bool bitmap = false;  // a sector bitmap block; its chunk is (batIndex + 1) / (ratio + 1) - 1
};

struct PlacementLayout {
  uint32_t entryCount = 0;
  uint32_t chunkRatio = 0;
  uint64_t blockSize = 0;
  uint64_t virtualSize = 0;
  uint64_t batOffset = 0;
  uint64_t batLength = 0;
  // Headers, log and regions: blocks must stay out of them.
  std::vector<Vhd::DiskArea> reserved;
  // A writable opening refuses blocks that end past the end of the file.
  bool writable = false;
};

// No block or structure is placed at or beyond 4 PiB: offsets are kept in
// 32 bits of megabytes, and no real file comes near.
inline constexpr uint64_t kMaxPlacementOffset = 1ull << 52;

class BlockPlacement {
 public:
  // Reads the table through file (only the part inside the file; the rest
  // holds no block), with the bitmap entry of a last chunk that is not full,
  // which lies past the entry count, and checks every placement: overlapping blocks, or a
  // block inside a reserved area, fail with 0x3C0044; a reserved area
  // beyond kMaxPlacementOffset with 0x3C0063; on a writable opening a block
  // whose bytes that hold disk data do not lie wholly inside the file fails
  // with 0x3C0062, which names its BAT entry. (The last block of a disk
  // whose size is not a multiple of the block size may end past the file:
  // some writers size fixed files to the disk.) A read-only opening keeps
  // such blocks readable.
  static std::shared_ptr<BlockPlacement> Build(File& file, const PlacementLayout& layout);

  // The blocks that overlap the byte range, in file order, until the
  // collector declines.
  bool Find(const Vhd::DiskArea& bytes, Vhd::Collector<PlacedBlock>& collector) const;
  // The end of everything the file holds; new space starts at or after it.
  uint64_t End() const { return end_; }
  // Records the blocks a written table area places at or after End(): the
  // write path's new blocks, placed at the end of the file.
  void Update(const BatArea& area);

  size_t Count() const { return keys_.size(); }
  // Present blocks that do not lie wholly inside the file (the first few of
  // them by BAT index, and how many there are).
  const std::vector<uint32_t>& PastEnd() const { return pastEnd_; }
  uint64_t PastEndCount() const { return pastEndCount_; }

 private:
  explicit BlockPlacement(const PlacementLayout& layout);
  PlacedBlock Decode(uint64_t key) const;

  uint32_t ratio_;
  uint64_t blockSize_;
  // Sorts the keys on first use: opening checks overlaps without sorting,
  // and only finding blocks by offset needs the order. Like the data path
  // that owns it, a placement serves one caller at a time.
  void Sort() const;

  mutable std::vector<uint64_t> keys_;  // offset in MB << 32 | BAT index, sorted when sorted_
  mutable bool sorted_ = true;
  uint64_t end_ = 0;
  std::vector<uint32_t> pastEnd_;
  uint64_t pastEndCount_ = 0;
};

// A payload block with data in the file.
struct DataBlockInfo {
  uint64_t fileOffset = 0;   // bytes
  uint64_t firstSector = 0;  // on the virtual disk
  uint64_t length = 0;       // bytes the block spans in the file
};

// The payload blocks of a placement that overlap a byte range of the file
// (sector bitmap blocks are left out).
class DataBlockInfoMap {
 public:
  DataBlockInfoMap(const BlockPlacement& placement, uint32_t chunkRatio, uint32_t sectorsPerBlock)
      : placement_(placement), ratio_(chunkRatio), sectorsPerBlock_(sectorsPerBlock) {}
  // In file order, until the collector declines.
  bool Find(const Vhd::DiskArea& bytes, Vhd::Collector<DataBlockInfo>& collector) const;

 private:
  const BlockPlacement& placement_;
  uint32_t ratio_;
  uint32_t sectorsPerBlock_;
};

// A view of a file whose size is where new space may start: the greater of
// the file's size and the end of everything placed in it. The writers that
// put new blocks, bitmaps and regions at the end of the file see it, so
// nothing lands on a structure that lies past the file's end.
class PlacementEndFile final : public FileDecorator {
 public:
  PlacementEndFile(std::shared_ptr<File> inner, std::shared_ptr<const BlockPlacement> placement)
      : FileDecorator(std::move(inner)), placement_(std::move(placement)) {}
  uint64_t GetSize() override { return std::max(FileDecorator::GetSize(), placement_->End()); }

 private:
  std::shared_ptr<const BlockPlacement> placement_;
};

// Reads that reach past the end of the file return zeros there, as a
// truncated copy of a disk reads in a read-only opening.
class ZeroExtendedFile final : public FileDecorator {
 public:
  using FileDecorator::FileDecorator;
  void Read(uint64_t offset, size_t size, void* buffer) override;
};

}  // namespace Vhdx
