// VHDX disks as sector disks: the implementation object over an opened
// Vhdx::Disk and the disk objects that the registry shares.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/shared_count.h"
#include "core/fdisk/virtual/virtual_disk.h"
#include "hvplug/file_tracker.h"
#include "hvplug/processor.h"

namespace Vhdx {
class Disk;
}

namespace VirtualDisks {

using TrackerRef = Processor::AutoRef<VirtualWareRaw::FileTracker>;

class VhdxDiskImpl final : public VirtualDiskImpl {
 public:
  explicit VhdxDiskImpl(uint32_t adapterType);
  ~VhdxDiskImpl() override;

  Common::Error Read(void* buffer, uint64_t firstSector, uint64_t sectorCount) override;
  Common::Error Write(const void* buffer, uint64_t firstSector, uint64_t sectorCount) override;
  Common::Error Flush() override;
  uint32_t GetSectorSize() const override;
  uint64_t GetSectorCount() const override;
  void GetGeometry(Fdisk::Geometry& geometry) const override;
  uint32_t GetAdapterType() const override { return adapterType_; }

  // After Initialize: opens the file writable with its parents read-only.
  // A failure becomes the error state.
  void OpenDisk(const TrackerRef& tracker);
  // Starts a first fill of the opened disk (see Vhdx::Disk::BeginFirstFill);
  // nothing when opening failed.
  void BeginFirstFill();
  // Ends a first fill under way with its flush; nothing otherwise.
  Common::Error EndFirstFill();
  // For tests and tools: takes an already opened disk.
  void SetDisk(std::shared_ptr<Vhdx::Disk> disk) { disk_ = std::move(disk); }

  // Runs operation on the disk: the error state if there is one, else what
  // the operation throws, as a returned error.
  template <class Operation>
  Common::Error Call(Operation&& operation) const;

 private:
  Vhdx::Disk* CheckedDisk() const;

  std::shared_ptr<Vhdx::Disk> disk_;
  uint32_t adapterType_;
};

template <class Operation>
Common::Error VhdxDiskImpl::Call(Operation&& operation) const {
  if (GetErrorState()) return GetErrorState();
  try {
    Vhdx::Disk* disk = CheckedDisk();
    if (!disk) return Common::MakeError(Code::kInvalidArguments, Msg::kDiskInvalidArguments, HV_SITE("Call"));
    operation(*disk);
  } catch (const Common::Error& error) {
    return error;
  }
  return Common::Success();
}

class MSVhdxVirtualMachineDisk final : public VirtualDiskBase {
 public:
  explicit MSVhdxVirtualMachineDisk(std::unique_ptr<VhdxDiskImpl> impl);

  Common::Error GetCurrentChangeID(std::u16string& changeId) override;
  Common::Error GetChangedSectors(const std::u16string& changeId, const Fdisk::SectorRange& range,
                                  std::vector<Fdisk::SectorRange>& changed) override;

  VhdxDiskImpl& Vhdx() const { return static_cast<VhdxDiskImpl&>(Impl()); }
};

class MSVhdxVirtualMachineDiskEx final : public ForwardingDiskEx<MSVhdxVirtualMachineDisk> {
 public:
  using ForwardingDiskEx::ForwardingDiskEx;

  Common::Error GetMetadataKeys(std::vector<Fdisk::MetadataKey>& keys) override;
  Common::Error GetMetadata(const Fdisk::MetadataKey& key, std::vector<uint8_t>& value) override;
  Common::Error CanSetMetadata(const Fdisk::MetadataKey& key, bool& canSet) override;
  Common::Error SetMetadata(const Fdisk::MetadataKey& key, const std::vector<uint8_t>& value) override;

  VhdxDiskImpl& Vhdx() const { return disk_->Vhdx(); }
};

// Builds the shared disk over an implementation; fails with the
// implementation's error state, releasing everything.
Common::Error MakeVhdxDisk(std::unique_ptr<VhdxDiskImpl> impl, Fdisk::SharedPtr<VirtualMachineDiskEx>& disk);

}  // namespace VirtualDisks
