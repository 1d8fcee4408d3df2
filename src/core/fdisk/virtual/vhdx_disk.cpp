#include "core/fdisk/virtual/vhdx_disk.h"

#include "core/common/assert.h"
#include "core/common/guid.h"
#include "core/fdisk/virtual/disk_parameters.h"
#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/file/unix/file_name.h"
#include "hvplug/file.h"

namespace VirtualDisks {

VhdxDiskImpl::VhdxDiskImpl(uint32_t adapterType) : adapterType_(adapterType) {}
VhdxDiskImpl::~VhdxDiskImpl() = default;

Vhdx::Disk* VhdxDiskImpl::CheckedDisk() const {
  if (!disk_) HV_ASSERT_TEXT("Disk.get()");
  return disk_.get();
}

Common::Error VhdxDiskImpl::Read(void* buffer, uint64_t firstSector, uint64_t sectorCount) {
  return Call([&](Vhdx::Disk& disk) { disk.Read(firstSector, static_cast<uint8_t*>(buffer), sectorCount); });
}

Common::Error VhdxDiskImpl::Write(const void* buffer, uint64_t firstSector, uint64_t sectorCount) {
  return Call([&](Vhdx::Disk& disk) { disk.Write(firstSector, static_cast<const uint8_t*>(buffer), sectorCount); });
}

uint32_t VhdxDiskImpl::GetSectorSize() const { return disk_ ? disk_->GetGeometry().logicalSectorSize : 0; }

uint64_t VhdxDiskImpl::GetSectorCount() const {
  if (!disk_) return 0;
  const Vhdx::DiskGeometry geometry = disk_->GetGeometry();
  return geometry.logicalSectorSize ? geometry.virtualSize / geometry.logicalSectorSize : 0;
}

void VhdxDiskImpl::OpenDisk(const TrackerRef& tracker) {
  if (GetErrorState()) return;
  if (!GetDirectory()) {
    SetErrorState(Common::MakeError(0x3C0001, Msg::kDiskInvalidArguments, HV_SITE("OpenDisk")));
    return;
  }
  // The engine reaches files, parents included, by their local paths.
  std::u16string dirPath;
  if (!GetDirectory()->GetPath(dirPath)) {
    Common::Error error = GetDirectory()->TakeError();
    SetErrorState(error ? error : Common::MakeError(0x4000E, Msg::kOperationNotSupported, HV_SITE("OpenDisk")));
    return;
  }
  try {
    const std::string path =
        FileLayer::JoinPath(FileLayer::FileNameToSystem(dirPath), FileLayer::FileNameToSystem(GetFileName()));
    disk_ = Vhdx::OpenDisk(path, true, tracker);
  } catch (const Common::Error& error) {
    SetErrorState(error);
  }
}

void VhdxDiskImpl::GetGeometry(Fdisk::Geometry& geometry) const {
  geometry = ComputeGeometry(adapterType_, GetSectorCount());
}

MSVhdxVirtualMachineDisk::MSVhdxVirtualMachineDisk(std::unique_ptr<VhdxDiskImpl> impl)
    : VirtualDiskBase(std::move(impl)) {}

Common::Error MSVhdxVirtualMachineDisk::GetCurrentChangeID(std::u16string& changeId) {
  changeId.clear();
  return Vhdx().Call([&](Vhdx::Disk& disk) { changeId = disk.GetCurrentChangeId(); });
}

namespace {

class RangeAppender final : public Vhd::Collector<Vhd::DiskArea> {
 public:
  explicit RangeAppender(std::vector<Fdisk::SectorRange>& ranges) : ranges_(ranges) {}
  bool Collect(const Vhd::DiskArea& area) override {
    ranges_.push_back({area.start, area.length});
    return true;
  }

 private:
  std::vector<Fdisk::SectorRange>& ranges_;
};

}  // namespace

Common::Error MSVhdxVirtualMachineDisk::GetChangedSectors(const std::u16string& changeId,
                                                          const Fdisk::SectorRange& range,
                                                          std::vector<Fdisk::SectorRange>& changed) {
  const size_t before = changed.size();
  Common::Error error = Vhdx().Call([&](Vhdx::Disk& disk) {
    RangeAppender appender(changed);
    disk.GetChanges(changeId, Vhd::DiskArea{range.start, range.length}, appender);
  });
  // A failed query adds nothing.
  if (error) changed.resize(before);
  return error;
}

Common::Error MakeVhdxDisk(std::unique_ptr<VhdxDiskImpl> impl, Fdisk::SharedPtr<VirtualMachineDiskEx>& disk) {
  auto machineDisk = std::make_unique<MSVhdxVirtualMachineDisk>(std::move(impl));
  if (Common::Error error = machineDisk->Vhdx().GetErrorState()) return error;
  disk = Fdisk::SharedPtr<VirtualMachineDiskEx>(new MSVhdxVirtualMachineDiskEx(std::move(machineDisk)));
  return Common::Success();
}

}  // namespace VirtualDisks
