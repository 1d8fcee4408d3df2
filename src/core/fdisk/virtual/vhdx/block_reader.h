// Readers of one payload block for one request: they fill the caller's
// buffer and clear the bits of the sectors they supplied.
#pragma once

#include <cstdint>
#include <memory>

#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/bitmap_array.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

// A window [first, first + count) of a request's needed-sector bitmap and the
// buffer position of its first sector. A sub-request is a narrower window on
// the same bits, so clearing bits in it clears them for the caller.
struct SectorRequest {
  uint64_t sectorSize;
  uint8_t* buffer;
  Vhd::Bitmap& needed;
  uint64_t first;
  uint64_t count;

  SectorRequest Sub(uint64_t offset, uint64_t length) const {
    return {sectorSize, buffer + offset * sectorSize, needed, first + offset, length};
  }
  // Index within the window of the first needed sector at or after from.
  uint64_t NextNeeded(uint64_t from) const {
    return from >= count ? count : needed.FindInRange(first + from, count - from, true) - first;
  }
  uint64_t NextSupplied(uint64_t from) const {
    return from >= count ? count : needed.FindInRange(first + from, count - from, false) - first;
  }
  void MarkSupplied(uint64_t offset, uint64_t length) { needed.SetRange(first + offset, length, false); }
};

class BlockReader {
 public:
  virtual ~BlockReader() = default;
  virtual void Read(uint64_t sectorInBlock, SectorRequest request) = 0;
};

// A block this differencing file does not hold: its parent supplies it.
class NopBlockReader final : public BlockReader {
 public:
  void Read(uint64_t, SectorRequest) override {}
};

// Splits a request into runs of needed sectors.
class ContinuousBlockReader : public BlockReader {
 public:
  void Read(uint64_t sectorInBlock, SectorRequest request) override;
  virtual void ReadRun(uint64_t sectorInBlock, SectorRequest run) = 0;
};

class ZeroFillingBlockReader final : public ContinuousBlockReader {
 public:
  void ReadRun(uint64_t sectorInBlock, SectorRequest run) override;
};

class WholeBlockReader final : public ContinuousBlockReader {
 public:
  WholeBlockReader(File& file, uint64_t blockOffset) : file_(file), blockOffset_(blockOffset) {}
  void ReadRun(uint64_t sectorInBlock, SectorRequest run) override;

 private:
  File& file_;
  uint64_t blockOffset_;
};

// Reads only the sectors whose bit is set in the block's part of the chunk's
// sector bitmap; the others stay needed for the parent.
class BitmappedBlockReader final : public ContinuousBlockReader {
 public:
  BitmappedBlockReader(File& file, uint64_t blockOffset, BitmapPtr blockBitmap)
      : file_(file), blockOffset_(blockOffset), bitmap_(std::move(blockBitmap)) {}
  void ReadRun(uint64_t sectorInBlock, SectorRequest run) override;

 private:
  File& file_;
  uint64_t blockOffset_;
  BitmapPtr bitmap_;
};

// Loads the 1 MB sector bitmap block of a chunk, in direct bit order.
class BitmapLoader final : public BitmapSource {
 public:
  explicit BitmapLoader(File& file) : file_(file) {}
  BitmapPtr Load(BatEntry bitmapEntry) override;

 private:
  File& file_;
};

// Throws for payload states no reader exists for (4, 5).
[[noreturn]] void ThrowUnknownBlockState(const char* function);
[[noreturn]] void ThrowPartiallyPresentInNonDifferencing(const char* function);

}  // namespace Vhdx
