// Handles on registered disks: what the hard-disk objects and the agent hold.
#pragma once

#include <memory>

#include "core/fdisk/virtual/disk_registry.h"
#include "core/fdisk/virtual/virtual_disk.h"

namespace VirtualDisks {

// One reference on a registered disk, given back to the registry when the
// handle goes.
class WiseDisk final : public VirtualMachineDisk {
 public:
  WiseDisk(std::shared_ptr<DiskRegistry> registry, SharedDisk disk);
  ~WiseDisk() override;

  uint32_t GetSectorSize() const override { return Disk().GetSectorSize(); }
  uint64_t GetSectorCount() const override { return Disk().GetSectorCount(); }
  const Fdisk::Geometry& GetGeometry() const override { return Disk().GetGeometry(); }
  Common::Error IO(uint32_t mode, void* buffer, uint64_t firstSector, uint64_t sectorCount) override {
    return Disk().IO(mode, buffer, firstSector, sectorCount);
  }
  Common::Error GetPlatformHandle(intptr_t& handle) override { return Disk().GetPlatformHandle(handle); }
  Common::Error GetCurrentChangeID(std::u16string& changeId) override { return Disk().GetCurrentChangeID(changeId); }
  Common::Error GetChangedSectors(const std::u16string& changeId, const Fdisk::SectorRange& range,
                                  std::vector<Fdisk::SectorRange>& changed) override {
    return Disk().GetChangedSectors(changeId, range, changed);
  }
  uint32_t GetAdapterType() const override { return Disk().GetAdapterType(); }

  VirtualMachineDiskEx& Disk() const;

 private:
  std::shared_ptr<DiskRegistry> registry_;
  SharedDisk disk_;
};

// The object handed out: every slot goes to the shared disk.
class WiseDiskWrapper final : public ForwardingDiskEx<WiseDisk> {
 public:
  using ForwardingDiskEx::ForwardingDiskEx;

  Common::Error GetMetadataKeys(std::vector<Fdisk::MetadataKey>& keys) override {
    return disk_->Disk().GetMetadataKeys(keys);
  }
  Common::Error GetMetadata(const Fdisk::MetadataKey& key, std::vector<uint8_t>& value) override {
    return disk_->Disk().GetMetadata(key, value);
  }
  Common::Error CanSetMetadata(const Fdisk::MetadataKey& key, bool& canSet) override {
    return disk_->Disk().CanSetMetadata(key, canSet);
  }
  Common::Error SetMetadata(const Fdisk::MetadataKey& key, const std::vector<uint8_t>& value) override {
    return disk_->Disk().SetMetadata(key, value);
  }
};

// Looks the location up in the registry, opening it with open when no live
// disk is registered for the same file (join runs on that one), and wraps
// the shared disk.
Common::Error AcquireWiseDisk(const std::shared_ptr<DiskRegistry>& registry,
                              std::shared_ptr<const DiskLocation> location, const DiskRegistry::Opener& open,
                              std::shared_ptr<VirtualMachineDiskEx>& wrapper,
                              const DiskRegistry::Joiner& join = nullptr);

}  // namespace VirtualDisks
