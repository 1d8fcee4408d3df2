// Sector bitmaps by chunk and by payload block: loading, caching the last
// one, and viewing a block's part of its chunk's bitmap.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhdx/bat.h"

namespace Vhdx {

using BitmapPtr = std::shared_ptr<Vhd::Bitmap>;

// Supplies the sector bitmap block described by a chunk's bitmap entry.
class BitmapSource {
 public:
  virtual ~BitmapSource() = default;
  virtual BitmapPtr Load(BatEntry bitmapEntry) = 0;
};

class LoadingBitmapArray final : public Vhd::Array<BitmapPtr> {
 public:
  LoadingBitmapArray(Vhd::Array<BatEntry>& entries, BitmapSource& source, uint32_t chunkRatio)
      : entries_(entries), source_(source), ratio_(chunkRatio) {}
  BitmapPtr Get(uint32_t chunk) override;

 private:
  Vhd::Array<BatEntry>& entries_;
  BitmapSource& source_;
  uint32_t ratio_;
};

// Remembers the last bitmap: consecutive blocks of one chunk load it once.
class CachingBitmapArray final : public Vhd::Array<BitmapPtr> {
 public:
  explicit CachingBitmapArray(Vhd::Array<BitmapPtr>& inner) : inner_(inner) {}
  BitmapPtr Get(uint32_t index) override {
    if (!cached_ || index != index_) {
      cached_ = inner_.Get(index);
      index_ = index;
    }
    return cached_;
  }

 private:
  Vhd::Array<BitmapPtr>& inner_;
  uint32_t index_ = 0;
  BitmapPtr cached_;
};

// get(b): block b's sectors within its chunk's bitmap.
class BlockBitmapArray final : public Vhd::Array<BitmapPtr> {
 public:
  BlockBitmapArray(Vhd::Array<BitmapPtr>& chunkBitmaps, const ChunkTraits& traits)
      : chunks_(chunkBitmaps), traits_(traits) {}
  BitmapPtr Get(uint32_t block) override {
    Vhd::DiskArea part = traits_.BlockInChunk(block);
    return chunks_.Get(traits_.ChunkOfBlock(block))->Sub(part.start, part.length);
  }

 private:
  Vhd::Array<BitmapPtr>& chunks_;
  ChunkTraits traits_;
};

// Entries held in memory (a loaded area or a test table).
class VectorBatEntryArray final : public Vhd::Array<BatEntry> {
 public:
  explicit VectorBatEntryArray(const std::vector<uint64_t>& words) : words_(words) {}
  BatEntry Get(uint32_t index) override;

 private:
  const std::vector<uint64_t>& words_;
};

}  // namespace Vhdx
