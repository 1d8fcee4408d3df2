// The sector operations of a disk file: the data path over its file
// assembly, after the placement of every block has been checked.
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/read_path.h"

namespace Vhdx {
namespace {

class DataPathDiskFileData final : public DiskFileData {
 public:
  explicit DataPathDiskFileData(const DiskFileParts& parts)
      : path_(Layout(parts), parts.files->StructureFile(), parts.files->DataFile()) {
    path_.PlaceBlocks(parts.reserved, parts.writable);
    placement_ = path_.Placement();
  }
  void ReadSectors(uint64_t firstSector, Vhd::Bitmap& needed, uint8_t* buffer) override {
    path_.Read(firstSector, needed, buffer);
  }
  void WriteSectors(uint64_t firstSector, uint64_t count, const uint8_t* buffer) override {
    path_.Write(firstSector, count, buffer);
  }
  void CollectChangedAreas(Vhd::ChangedFile& changes, Vhd::Collector<Vhd::DiskArea>& collector) override {
    path_.CollectChangedAreas(changes, collector);
  }
  std::shared_ptr<const BlockPlacement> Placement() const override { return placement_; }

 private:
  static DataPathLayout Layout(const DiskFileParts& parts) {
    DataPathLayout layout;
    layout.virtualSize = parts.virtualSize;
    layout.logicalSectorSize = parts.logicalSectorSize;
    layout.blockSize = parts.blockSize;
    layout.diskKind = parts.kind;
    layout.batOffset = parts.batRegion.fileOffset;
    layout.batLength = parts.batRegion.length;
    layout.metadataOffset = parts.metadataRegion.fileOffset;
    layout.metadataLength = parts.metadataRegion.length;
    layout.logReplayed = parts.logReplayed;
    return layout;
  }

  DataPath path_;
  std::shared_ptr<const BlockPlacement> placement_;
};

}  // namespace

std::unique_ptr<DiskFileData> CreateDiskFileData(const DiskFileParts& parts) {
  return std::make_unique<DataPathDiskFileData>(parts);
}

}  // namespace Vhdx
