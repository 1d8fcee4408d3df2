// One chunk of a write request: creates the block writers matching each
// block's state and, for differencing files, keeps the chunk's sector bitmap.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/bitmap_store.h"
#include "core/fdisk/virtual/vhdx/block_writer.h"

namespace Vhdx {

class ChunkWriter {
 public:
  // entries: the chunk's first entry inside the loaded BAT area.
  ChunkWriter(uint64_t* entries, uint32_t sectorsPerBlock, File& dataFile, uint32_t blockSize)
      : entries_(entries), sectorsPerBlock_(sectorsPerBlock), dataFile_(dataFile), blockSize_(blockSize) {}
  virtual ~ChunkWriter() = default;

  virtual void Commit() = 0;
  // By the block's state; entries in states 4, 5 fail with "Unknown block state.".
  virtual std::unique_ptr<BlockWriter> CreateBlockWriter(uint32_t blockInChunk) = 0;
  bool Modified() const { return modified_; }
  void SetModified() { modified_ = true; }

 protected:
  virtual std::unique_ptr<BlockWriter> CreateAllocatingWriter(uint32_t blockInChunk) = 0;
  std::unique_ptr<BlockWriter> CreatePresentWriter(uint32_t blockInChunk) {
    return std::make_unique<FullyPresentBlockWriter>(dataFile_, BatEntry{entries_[blockInChunk]}.FileOffset());
  }

  uint64_t* entries_;
  uint32_t sectorsPerBlock_;
  bool modified_ = false;
  File& dataFile_;
  uint32_t blockSize_;
};

class NonDifferencingDiskChunkWriter final : public ChunkWriter {
 public:
  using ChunkWriter::ChunkWriter;
  void Commit() override {}
  std::unique_ptr<BlockWriter> CreateBlockWriter(uint32_t blockInChunk) override;

 protected:
  std::unique_ptr<BlockWriter> CreateAllocatingWriter(uint32_t blockInChunk) override;
};

class DifferencingDiskChunkWriter final : public ChunkWriter {
 public:
  DifferencingDiskChunkWriter(uint64_t* entries, uint32_t sectorsPerBlock, File& dataFile, uint32_t blockSize,
                              std::unique_ptr<BitmapStore> store)
      : ChunkWriter(entries, sectorsPerBlock, dataFile, blockSize), store_(std::move(store)) {}
  void Commit() override;
  std::unique_ptr<BlockWriter> CreateBlockWriter(uint32_t blockInChunk) override;

 protected:
  std::unique_ptr<BlockWriter> CreateAllocatingWriter(uint32_t blockInChunk) override;

 private:
  BitmapPtr BlockBitmap(uint32_t blockInChunk) {
    return store_->Bitmap()->Sub(uint64_t{blockInChunk} * sectorsPerBlock_, sectorsPerBlock_);
  }
  std::unique_ptr<BitmapStore> store_;
};

}  // namespace Vhdx
