#include "core/fdisk/virtual/virtual_disk.h"

#include <fcntl.h>

#include "core/common/error.h"
#include "hvplug/file.h"

namespace VirtualDisks {

VirtualDiskImpl::VirtualDiskImpl() = default;
VirtualDiskImpl::~VirtualDiskImpl() = default;

void VirtualDiskImpl::Initialize(std::shared_ptr<rio_dir> dir, const std::u16string& name) {
  if (!dir || name.empty()) {
    error_ = Common::MakeError(Code::kInvalidArguments, Msg::kDiskInvalidArguments, HV_SITE("Initialize"));
    return;
  }
  dir_ = std::move(dir);
  fileName_ = name;
  // Held for the life of the disk: its lock keeps other writers away.
  file_ = dir_->Open(fileName_, O_RDWR, false, 0);
  if (!file_) error_ = dir_->TakeError();
}

VirtualDiskBase::VirtualDiskBase(std::unique_ptr<VirtualDiskImpl> impl)
    : sectorSize_(impl->GetSectorSize()),
      sectorCount_(impl->GetSectorCount()),
      impl_(std::move(impl)),
      adapterType_(impl_->GetAdapterType()) {
  impl_->GetGeometry(geometry_);
}

VirtualDiskBase::~VirtualDiskBase() = default;

Common::Error VirtualDiskBase::IO(uint32_t mode, void* buffer, uint64_t firstSector, uint64_t sectorCount) {
  if (mode == Fdisk::kIoFlush) return impl_->Flush();
  if (mode != Fdisk::kIoRead && mode != Fdisk::kIoWrite) return Common::Success();
  if (!buffer && sectorCount != 0)
    return Common::MakeError(Code::kInvalidArguments, Msg::kDiskInvalidArguments, HV_SITE("IO"));
  if (mode == Fdisk::kIoRead) return impl_->Read(buffer, firstSector, sectorCount);
  return impl_->Write(buffer, firstSector, sectorCount);
}

Common::Error VirtualDiskBase::GetPlatformHandle(intptr_t& handle) {
  handle = 0;
  return Common::MakeError(Code::kCodeNotImplemented, Msg::kCodeNotImplemented, HV_SITE("GetPlatformHandle"));
}

Common::Error VirtualDiskBase::GetCurrentChangeID(std::u16string& changeId) {
  changeId.clear();
  return Common::Success();
}

Common::Error VirtualDiskBase::GetChangedSectors(const std::u16string&, const Fdisk::SectorRange&,
                                                 std::vector<Fdisk::SectorRange>&) {
  return Common::MakeError(Code::kCodeNotImplemented, Msg::kCodeNotImplemented, HV_SITE("GetChangedSectors"));
}

}  // namespace VirtualDisks
