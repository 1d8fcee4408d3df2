#include "core/fdisk/virtual/vhdx_disk.h"

#include <fcntl.h>

#include "core/common/assert.h"
#include "core/common/error_codes.h"
#include "core/common/guid.h"
#include "core/fdisk/virtual/disk_parameters.h"
#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx/rio_core_file.h"
#include "core/file/dir_access.h"
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

Common::Error VhdxDiskImpl::Flush() {
  return Call([](Vhdx::Disk& disk) { disk.Flush(); });
}

void VhdxDiskImpl::BeginFirstFill() {
  if (!GetErrorState() && disk_) disk_->BeginFirstFill();
}

Common::Error VhdxDiskImpl::EndFirstFill() {
  if (GetErrorState() || !disk_ || !disk_->InFirstFill()) return Common::Success();
  return Flush();
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
    SetErrorState(Common::MakeError(Code::kInvalidArguments, Msg::kDiskInvalidArguments, HV_SITE("OpenDisk")));
    return;
  }
  // Every file of the chain is opened through the directory, so that an
  // agent's file layer serves them; the path names them in errors and to the
  // file tracker. Without a path, names stay relative to the directory.
  std::shared_ptr<rio_dir> dir = GetDirectory();
  std::u16string dirPath;
  if (!dir->GetPath(dirPath)) dir->TakeError();
  const std::string name = FileLayer::FileNameToSystem(GetFileName());
  const std::string path = dirPath.empty() ? name : FileLayer::JoinPath(FileLayer::FileNameToSystem(dirPath), name);
  // The engine takes no locks of its own: range locking is the caller's.
  const auto open = [dir](const std::string& systemPath, bool writable) {
    std::unique_ptr<rio_file> file =
        dir->Open(FileLayer::FileNameFromSystem(systemPath), writable ? O_RDWR : O_RDONLY, true, 0);
    if (!file) {
      Common::Throw(Common::Wrap(
          Common::MakeErrorWithArgs(Code::kOpenVhdxFileFailed, Msg::kOpenVhdxFileFailed, HV_SITE("OpenDisk"),
                                    "fileName", {FileLayer::FileNameFromSystem(systemPath)}),
          dir->TakeError()));
    }
    return Vhdx::MakeRioCoreFile(std::move(file));
  };
  try {
    // A locator may name anything; only a regular file (or a link) is a
    // parent: opening a FIFO would wait for a writer.
    const auto openParent = [dir, open](const std::string& parentPath) {
      const std::u16string wide = FileLayer::FileNameFromSystem(parentPath);
      std::unique_ptr<i_dir::iterator> entry = dir->GetIterator(
          FileLayer::LookupPattern(wide), i_dir::type_bit(entry_type::file) | i_dir::type_bit(entry_type::symlink));
      if (!entry || entry->Failed()) {
        Common::Error cause = entry ? entry->TakeError() : dir->TakeError();
        Common::Throw(Common::Wrap(Common::MakeErrorWithArgs(Code::kOpenVhdxFileFailed, Msg::kOpenVhdxFileFailed,
                                                             HV_SITE("OpenDisk"), "fileName", {wide}),
                                   cause));
      }
      return open(parentPath, false);
    };
    disk_ = Vhdx::OpenDisk(path, open(name, true), true, tracker, openParent);
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
