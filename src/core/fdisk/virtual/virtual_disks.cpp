#include "core/fdisk/virtual/virtual_disks.h"

#include <fcntl.h>

#include <optional>

#include "core/common/error.h"
#include "core/fdisk/virtual/disk_parameters.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/file.h"
#include "core/fdisk/virtual/vhdx/rio_core_file.h"
#include "core/fdisk/virtual/wise_disk.h"
#include "core/file/dir_access.h"
#include "hvplug/file.h"

namespace VirtualDisks {
namespace {

// The identifier of a named entry, or nothing when the directory cannot look
// it up. The lookup must not leave an error behind in the directory object.
std::optional<the_identifier> IdentifierOf(rio_dir& dir, const std::u16string& name) {
  std::unique_ptr<i_dir::iterator> entry = dir.GetIterator(name);
  if (!entry) {
    dir.TakeError();
    return std::nullopt;
  }
  the_identifier identifier = FileLayer::IdentifierOf(*entry);
  if (entry->Failed()) return std::nullopt;
  return identifier;
}

bool SameEntry(const the_identifier& a, const the_identifier& b) {
  // Names differ for two links of one file; the opaque data tells.
  if (!a.GetData().empty() && !b.GetData().empty()) return a.GetData() == b.GetData();
  return a.GetName() == b.GetName();
}

}  // namespace

bool FileLocation::SameFile(const DiskLocation& other) const {
  // The registry holds nothing but file locations.
  const auto& that = static_cast<const FileLocation&>(other);
  if (!dir_ || !that.dir_ || dir_->Compare(that.dir_.get()) != 0) return false;
  if (name_ == that.name_) return true;
  const std::optional<the_identifier> mine = IdentifierOf(*dir_, name_);
  if (!mine) return false;
  const std::optional<the_identifier> theirs = IdentifierOf(*that.dir_, that.name_);
  return theirs && SameEntry(*mine, *theirs);
}

Common::Error OpenVhdxDisk(const std::shared_ptr<rio_dir>& dir, const std::u16string& name, uint32_t adapterType,
                           std::shared_ptr<VirtualMachineDiskEx>& disk, const TrackerRef& tracker, bool firstFill) {
  const auto open = [&](SharedDisk& opened) {
    auto impl = std::make_unique<VhdxDiskImpl>(adapterType);
    impl->Initialize(dir, name);
    impl->OpenDisk(tracker);
    if (firstFill) impl->BeginFirstFill();
    return MakeVhdxDisk(std::move(impl), opened);
  };
  const auto join = [&](SharedDisk& shared) {
    // The registry holds nothing but the disks made above.
    return firstFill ? Common::Success() : static_cast<MSVhdxVirtualMachineDiskEx&>(*shared).Vhdx().EndFirstFill();
  };
  return AcquireWiseDisk(DiskRegistry::Instance(), std::make_shared<FileLocation>(dir, name), open, disk, join);
}

Common::Error CreateVhdxDisk(rio_dir& dir, const std::u16string& name, uint64_t sectorCount, bool fixed,
                             uint32_t sectorSize) {
  if (Common::Error error = CheckVhdxDiskParameters(sectorCount, sectorSize)) return error;
  if (sectorCount == 0)
    return Common::MakeError(Code::kDiskSizeNotSupported, Msg::kDiskSizeNotSupported, HV_SITE("Create"));

  std::unique_ptr<rio_file> file = dir.Open(name, O_RDWR | O_CREAT | O_EXCL, false, 0644);
  if (!file) {
    return Common::Wrap(Common::MakeError(Code::kVhdxCreateFailed, Msg::kVhdxCreateFailed, HV_SITE("Create")),
                        dir.TakeError());
  }
  try {
    Vhdx::WriteableFile writable(Vhdx::MakeRioCoreFile(std::move(file)));
    Vhdx::WriteNewDiskFile(writable, {sectorCount * sectorSize, sectorSize, fixed});
    writable.Flush();
  } catch (const Common::Error& error) {
    // The file is closed by now. No half-made disk is left behind; a failure
    // to remove it is not ours to report.
    if (!dir.Remove(name)) dir.TakeError();
    return Common::Wrap(Common::MakeError(Code::kVhdxCreateFailed, Msg::kVhdxCreateFailed, HV_SITE("Create")), error);
  }
  return Common::Success();
}

}  // namespace VirtualDisks
