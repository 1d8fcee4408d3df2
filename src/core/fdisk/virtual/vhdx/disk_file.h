// Vhdx::DiskFile: one opened, validated VHDX file with its log replayed and
// its parameters read; what the data path works on.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/common/guid.h"
#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/core_file.h"
#include "core/fdisk/virtual/vhdx/file_assembly.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx/region_table.h"
#include "hvplug/error.h"

namespace Vhd {
class ChangedFile;
}

namespace Vhdx {

struct WriteGuids {
  Common::Guid dataWriteGuid;
  Common::Guid fileWriteGuid;
};

struct DiskGeometry {
  uint64_t virtualSize = 0;
  uint32_t logicalSectorSize = 0;
};

// Everything Init learnt about the file; the data path builds on it.
struct DiskFileParts {
  std::shared_ptr<FileAssembly> files;
  RegionEntry batRegion;
  RegionEntry metadataRegion;
  uint64_t virtualSize = 0;
  uint32_t logicalSectorSize = 0;
  uint32_t physicalSectorSize = 0;  // 0 when the item is absent
  uint32_t blockSize = 0;
  uint32_t kind = 0;
  bool logReplayed = false;
  bool writable = false;
  // What blocks must stay out of and new space must go after: the first
  // megabyte (identifier, headers, region tables), the log and every region.
  std::vector<Vhd::DiskArea> reserved;
};

class DiskFile {
 public:
  DiskFile() = default;
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;
  virtual ~DiskFile() = default;

  virtual uint32_t GetKind() const = 0;
  virtual WriteGuids GetWriteGuids() const = 0;
  virtual DiskGeometry GetGeometry() const = 0;
  virtual ParentLocatorEntries GetParentLocatorEntries() const = 0;
  // Every item but the two protected ones goes to the consumer.
  virtual void GetMetadata(MetadataConsumer& consumer) = 0;
  // The provider's items are set; a protected item fails with 0x3C0037.
  virtual void SetMetadata(MetadataProvider& provider) = 0;
  virtual void RemoveMetadata(const MetadataDescriptor& descriptor) = 0;
  // Supplies what this file holds of the needed sectors and clears their bits.
  virtual void ReadSectors(uint64_t firstSector, Vhd::Bitmap& needed, uint8_t* buffer) = 0;
  virtual void WriteSectors(uint64_t firstSector, uint64_t count, const uint8_t* buffer) = 0;
  virtual void CollectChangedAreas(Vhd::ChangedFile& changes, Vhd::Collector<Vhd::DiskArea>& collector) = 0;
  virtual const DiskFileParts& GetParts() const = 0;
};

// Forwards every operation to a held disk file.
class DiskFileDecorator : public DiskFile {
 public:
  explicit DiskFileDecorator(std::shared_ptr<DiskFile> inner) : inner_(std::move(inner)) {}
  uint32_t GetKind() const override { return inner_->GetKind(); }
  WriteGuids GetWriteGuids() const override { return inner_->GetWriteGuids(); }
  DiskGeometry GetGeometry() const override { return inner_->GetGeometry(); }
  ParentLocatorEntries GetParentLocatorEntries() const override { return inner_->GetParentLocatorEntries(); }
  void GetMetadata(MetadataConsumer& consumer) override { inner_->GetMetadata(consumer); }
  void SetMetadata(MetadataProvider& provider) override { inner_->SetMetadata(provider); }
  void RemoveMetadata(const MetadataDescriptor& descriptor) override { inner_->RemoveMetadata(descriptor); }
  void ReadSectors(uint64_t firstSector, Vhd::Bitmap& needed, uint8_t* buffer) override {
    inner_->ReadSectors(firstSector, needed, buffer);
  }
  void WriteSectors(uint64_t firstSector, uint64_t count, const uint8_t* buffer) override {
    inner_->WriteSectors(firstSector, count, buffer);
  }
  void CollectChangedAreas(Vhd::ChangedFile& changes, Vhd::Collector<Vhd::DiskArea>& collector) override {
    inner_->CollectChangedAreas(changes, collector);
  }
  const DiskFileParts& GetParts() const override { return inner_->GetParts(); }

  const std::shared_ptr<DiskFile>& Inner() const { return inner_; }

 private:
  std::shared_ptr<DiskFile> inner_;
};

class DiskFileDelegate : public DiskFileDecorator {
 public:
  using DiskFileDecorator::DiskFileDecorator;
};

// Also owns the host file the disk file was opened from; releases it first.
class FileHoldingDiskFile : public DiskFileDelegate {
 public:
  FileHoldingDiskFile(std::shared_ptr<DiskFile> inner, std::shared_ptr<CoreFile> file)
      : DiskFileDelegate(std::move(inner)), file_(std::move(file)) {}
  ~FileHoldingDiskFile() override { file_.reset(); }

 private:
  std::shared_ptr<CoreFile> file_;
};

// Opening. extra receives the items the disk file does not handle itself
// (for example the page 83 data); null accepts nothing.
std::shared_ptr<DiskFile> OpenDiskFileReadOnly(std::shared_ptr<CoreFile> file,
                                               std::shared_ptr<SelectiveMetadataConsumer> extra);
std::shared_ptr<DiskFile> OpenDiskFileWritable(std::shared_ptr<CoreFile> file,
                                               std::shared_ptr<SelectiveMetadataConsumer> extra);

// Lays out and writes a new VHDX file (block size 4 MB, log 1 MB, metadata
// region 1 MB) into an empty writable file.
struct NewDiskParameters {
  uint64_t virtualSize = 0;
  uint32_t logicalSectorSize = 512;
  bool fixed = false;
};
void WriteNewDiskFile(File& file, const NewDiskParameters& parameters);
// Creation entry: created is the new, empty host file (null when it could not
// be created: 0x3C0005). Lays it out, flushes it and returns the result; a
// failure is 0x3C0005 with the cause beneath it.
Common::Error CreateDiskFile(std::shared_ptr<CoreFile> created, const NewDiskParameters& parameters);

}  // namespace Vhdx
