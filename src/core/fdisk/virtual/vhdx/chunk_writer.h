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

  // Writes what nothing on disk points at yet (new bitmap blocks); before
  // the request's barrier.
  virtual void Place() = 0;
  // Writes what is referenced already (bits of an existing bitmap block);
  // after the barrier, since those bits claim data as present.
  virtual void Commit() = 0;
  // Whether Commit has something to write.
  virtual bool Pending() const = 0;
  // Whether Place gave the chunk a new bitmap block (and its entry a new value).
  virtual bool BitmapPlaced() const = 0;
  // By the block's state; entries in states 4, 5 fail with "Unknown block state.".
  std::unique_ptr<BlockWriter> CreateBlockWriter(uint32_t blockInChunk);
  bool Modified() const { return modified_; }
  void SetModified() { modified_ = true; }

 protected:
  virtual std::unique_ptr<BlockWriter> CreateAllocatingWriter(uint32_t blockInChunk) = 0;
  // For a partially present block, which only a differencing file may hold.
  virtual std::unique_ptr<BlockWriter> CreatePartialWriter(uint32_t blockInChunk) = 0;
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
  void Place() override {}
  void Commit() override {}
  bool Pending() const override { return false; }
  bool BitmapPlaced() const override { return false; }

 protected:
  std::unique_ptr<BlockWriter> CreateAllocatingWriter(uint32_t blockInChunk) override;
  std::unique_ptr<BlockWriter> CreatePartialWriter(uint32_t blockInChunk) override;
};

class DifferencingDiskChunkWriter final : public ChunkWriter {
 public:
  DifferencingDiskChunkWriter(uint64_t* entries, uint32_t sectorsPerBlock, File& dataFile, uint32_t blockSize,
                              std::unique_ptr<BitmapStore> store)
      : ChunkWriter(entries, sectorsPerBlock, dataFile, blockSize), store_(std::move(store)) {}
  void Place() override;
  void Commit() override { store_->Commit(); }
  bool Pending() const override { return store_->Pending(); }
  bool BitmapPlaced() const override { return store_->Changed(); }

 protected:
  std::unique_ptr<BlockWriter> CreateAllocatingWriter(uint32_t blockInChunk) override;
  std::unique_ptr<BlockWriter> CreatePartialWriter(uint32_t blockInChunk) override;

 private:
  BitmapPtr BlockBitmap(uint32_t blockInChunk) {
    return store_->Bitmap()->Sub(uint64_t{blockInChunk} * sectorsPerBlock_, sectorsPerBlock_);
  }
  std::unique_ptr<BitmapStore> store_;
};

}  // namespace Vhdx
