// Writers of one payload block for one request: into an existing block, or
// into a new block allocated at the end of the file on a 1 MB boundary.
#pragma once

#include <cstdint>
#include <memory>

#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/bitmap_array.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

// Sectors to store: sector size, first byte, sector count.
struct SectorRun {
  uint64_t sectorSize;
  const uint8_t* buffer;
  uint64_t count;
};

class BlockWriter {
 public:
  virtual ~BlockWriter() = default;
  virtual void Write(uint64_t sectorInBlock, const SectorRun& run) = 0;
  // Whether the block's BAT entry changed.
  virtual bool Modified() const { return modified_; }
  // Whether the block's bits on disk must change before its new entry may
  // reach the disk: bits left set by an earlier placement would otherwise
  // claim sectors of the new block that were never written.
  bool BitsBeforeEntry() const { return bitsBeforeEntry_; }

 protected:
  virtual void OnWritten(uint64_t sectorInBlock, const SectorRun& run) = 0;
  bool modified_ = false;
  bool bitsBeforeEntry_ = false;
};

class ExistingBlockWriter : public BlockWriter {
 public:
  ExistingBlockWriter(File& dataFile, uint64_t blockOffset) : file_(dataFile), blockOffset_(blockOffset) {}
  void Write(uint64_t sectorInBlock, const SectorRun& run) override;

 private:
  File& file_;
  uint64_t blockOffset_;
};

class FullyPresentBlockWriter final : public ExistingBlockWriter {
 public:
  using ExistingBlockWriter::ExistingBlockWriter;

 protected:
  void OnWritten(uint64_t, const SectorRun&) override {}
};

// A partially present block of a differencing file: written sectors become
// present; once every sector is, the block is fully present.
class BitmappedBlockWriter final : public ExistingBlockWriter {
 public:
  BitmappedBlockWriter(File& dataFile, uint64_t blockOffset, uint64_t& entry, BitmapPtr blockBitmap)
      : ExistingBlockWriter(dataFile, blockOffset), entry_(entry), bitmap_(std::move(blockBitmap)) {}

 protected:
  void OnWritten(uint64_t sectorInBlock, const SectorRun& run) override;

 private:
  uint64_t& entry_;
  BitmapPtr bitmap_;
};

class AllocatingBlockWriter : public BlockWriter {
 public:
  AllocatingBlockWriter(File& dataFile, uint32_t blockSize, uint64_t& entry)
      : file_(dataFile), blockSize_(blockSize), entry_(entry) {}
  // Places the block at the end of the data file rounded up to 1 MB, writes
  // the run there, grows the file over the whole block, then updates the entry.
  void Write(uint64_t sectorInBlock, const SectorRun& run) override;

 protected:
  uint64_t& Entry() { return entry_; }
  uint64_t newOffset_ = 0;

 private:
  File& file_;
  uint32_t blockSize_;
  uint64_t& entry_;
};

class NonDifferencingDiskAllocatingBlockWriter final : public AllocatingBlockWriter {
 public:
  using AllocatingBlockWriter::AllocatingBlockWriter;

 protected:
  void OnWritten(uint64_t sectorInBlock, const SectorRun& run) override;
};

// A new block of a differencing file: the written sectors become present.
// For a block that was not present the other sectors still come from the
// parent; for one that read as zeros (states 1 to 3) the whole block becomes
// present, since the grown file holds zeros there and the parent must not
// show through.
class DifferencingDiskAllocatingBlockWriter final : public AllocatingBlockWriter {
 public:
  DifferencingDiskAllocatingBlockWriter(File& dataFile, uint32_t blockSize, uint64_t& entry, BitmapPtr blockBitmap)
      : AllocatingBlockWriter(dataFile, blockSize, entry), bitmap_(std::move(blockBitmap)) {}

 protected:
  void OnWritten(uint64_t sectorInBlock, const SectorRun& run) override;

 private:
  BitmapPtr bitmap_;
};

}  // namespace Vhdx
