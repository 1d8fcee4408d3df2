#include "core/fdisk/virtual/wise_disk.h"

#include "core/common/assert.h"

namespace VirtualDisks {

WiseDisk::WiseDisk(std::shared_ptr<DiskRegistry> registry, SharedDisk disk)
    : registry_(std::move(registry)), disk_(std::move(disk)) {}

WiseDisk::~WiseDisk() { registry_->Release(disk_); }

VirtualMachineDiskEx& WiseDisk::Disk() const {
  if (!disk_) HV_ASSERT_TEXT("Ptr != 0");
  return *disk_;
}

Common::Error AcquireWiseDisk(const std::shared_ptr<DiskRegistry>& registry,
                              std::shared_ptr<const DiskLocation> location, const DiskRegistry::Opener& open,
                              std::shared_ptr<VirtualMachineDiskEx>& wrapper, const DiskRegistry::Joiner& join) {
  SharedDisk disk;
  if (Common::Error error = registry->Acquire(std::move(location), open, disk, join)) return error;
  try {
    // Once built, the handle owns the reference and gives it back.
    auto handle = std::make_unique<WiseDisk>(registry, std::move(disk));
    wrapper = std::make_shared<WiseDiskWrapper>(std::move(handle));
  } catch (...) {
    registry->Release(disk);
    throw;
  }
  return Common::Success();
}

}  // namespace VirtualDisks
