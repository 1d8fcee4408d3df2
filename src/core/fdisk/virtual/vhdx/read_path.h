// The data path of one opened VHDX file: reading and writing sectors through
// the block allocation table, and mapping changed file bytes to sectors. The
// disk file holds one of these and forwards its read, write and
// changed-area operations to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/bat_placement.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhd {
class ChangedFile;
}

namespace Vhdx {

// What the data path takes from an opened disk file.
struct DataPathLayout {
  uint64_t virtualSize = 0;  // bytes
  uint32_t logicalSectorSize = 0;
  uint32_t blockSize = 0;
  uint32_t diskKind = 0;   // 2 fixed, 3 dynamic, 4 differencing
  uint64_t batOffset = 0;  // the BAT region in the file
  uint64_t batLength = 0;
  bool logReplayed = false;     // the opening replayed a log
  uint64_t metadataOffset = 0;  // the metadata region in the file (length 0: none)
  uint64_t metadataLength = 0;
};

// Entries of the BAT region, read through the file a window at a time so
// that walking the whole table neither reads one entry per call nor holds
// the whole table in memory.
class FileRegionBatEntryArray final : public Vhd::Array<BatEntry> {
 public:
  FileRegionBatEntryArray(File& file, uint64_t regionOffset, uint64_t regionLength)
      : file_(file), offset_(regionOffset), length_(regionLength) {}
  BatEntry Get(uint32_t index) override;

 private:
  static constexpr uint32_t kWindowEntries = 16384;
  File& file_;
  uint64_t offset_;
  uint64_t length_;
  uint64_t windowFirst_ = 0;
  std::vector<uint64_t> window_;
};

class DataPath {
 public:
  // Throws when the geometry is outside the format or the BAT region cannot
  // hold the table the disk size needs. Reads go through dataFile, and read
  // zeros past its end; BAT and sector bitmap writes go through
  // structureFile.
  DataPath(const DataPathLayout& layout, std::shared_ptr<File> structureFile, std::shared_ptr<File> dataFile);

  const DataPathLayout& Layout() const { return layout_; }
  uint64_t SectorCount() const { return sectorCount_; }
  uint32_t EntryCount() const { return entryCount_; }
  const ChunkTraits& Chunks() const { return chunks_; }

  // Supplies the sectors [first, first + needed.Size()) this file holds and
  // clears their bits.
  void Read(uint64_t first, Vhd::Bitmap& needed, uint8_t* buffer);
  void Write(uint64_t first, uint64_t count, const uint8_t* buffer);
  // Adds the sector intervals of this file's changes to the collector.
  void CollectChangedAreas(Vhd::ChangedFile& changes, Vhd::Collector<Vhd::DiskArea>& collector);
  // The metadata region was written (and may have moved): change tracking
  // finds its system items anew.
  void SetMetadataRegion(uint64_t offset, uint64_t length) noexcept;

  // The cached run of whole chunks covering [first, first + count).
  std::shared_ptr<BatArea> LoadBatArea(uint64_t first, uint64_t count);
  // Builds the placement of every block, refusing overlapping blocks,
  // blocks inside the reserved areas and, when writable, blocks past the
  // end of the file. From then on new blocks and bitmaps go after the end
  // of everything the file holds.
  void PlaceBlocks(const std::vector<Vhd::DiskArea>& reserved, bool writable);
  // Built once per opening (by PlaceBlocks, or on first use without
  // reserved areas); shared with change tracking.
  const std::shared_ptr<BlockPlacement>& Placement();

 private:
  void CheckBound(uint64_t first, uint64_t count, const char* function) const;
  // Writes the entries [firstIndex, endIndex) of the area: only what a
  // request can have changed, so that its barrier carries one table page,
  // not the whole area.
  void WriteBatEntries(const BatArea& area, uint64_t firstIndex, uint64_t endIndex);
  // Writes one entry of the area (index within the area) on its own.
  void WriteBatEntry(const BatArea& area, uint64_t index);
  void WriteChunks(BatArea& area, uint64_t first, uint64_t count, const uint8_t* buffer);

  DataPathLayout layout_;
  ChunkTraits chunks_;
  uint64_t sectorCount_;
  uint32_t entryCount_;
  std::shared_ptr<File> structureFile_;
  std::shared_ptr<File> dataFile_;
  std::shared_ptr<BatArea> cachedArea_;
  std::shared_ptr<BlockPlacement> placement_;
  // Where the system metadata items and their table entries lie; read on
  // the first changed-areas query.
  std::optional<std::vector<Vhd::DiskArea>> systemMetadata_;
};

}  // namespace Vhdx
