#include "core/fdisk/virtual/disk_registry.h"

#include <mutex>

#include "core/common/error.h"

namespace VirtualDisks {

const std::shared_ptr<DiskRegistry>& DiskRegistry::Instance() {
  // Every handle on a registered disk holds the registry too, so disks that
  // outlive static destruction still find it.
  static const std::shared_ptr<DiskRegistry> instance = std::make_shared<DiskRegistry>();
  return instance;
}

Common::Error DiskRegistry::Acquire(std::shared_ptr<const DiskLocation> location, const Opener& open, SharedDisk& disk,
                                    const Joiner& join) {
  std::lock_guard<Common::Mutex> lock(mutex_);
  for (const Entry& entry : entries_) {
    if (!entry.location->SameFile(*location)) continue;
    if (SharedDisk existing = entry.disk.Lock()) {
      if (join) {
        if (Common::Error error = join(existing)) return error;
      }
      disk = std::move(existing);
      return Common::Success();
    }
  }
  SharedDisk opened;
  try {
    if (Common::Error error = open(opened)) return error;
  } catch (const Common::Error& error) {
    return error;
  }
  if (!opened) return Common::MakeError(Code::kInvalidArguments, Msg::kDiskInvalidArguments, HV_SITE("Acquire"));
  entries_.push_back(Entry{std::move(location), Fdisk::WeakPtr<VirtualMachineDiskEx>(opened)});
  ++entryCount_;
  disk = std::move(opened);
  return Common::Success();
}

void DiskRegistry::Release(SharedDisk& disk) noexcept {
  std::lock_guard<Common::Mutex> lock(mutex_);
  disk.reset();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->disk.Expired()) {
      entries_.erase(it);
      --entryCount_;
      break;
    }
  }
}

size_t DiskRegistry::GetEntryCount() const {
  std::lock_guard<Common::Mutex> lock(mutex_);
  return entryCount_;
}

}  // namespace VirtualDisks
