// The process-wide registry of opened disks: holders of the same file share
// one opened disk. The registry keeps only weak references, so a disk closes
// with its last holder; its entry is swept by a later release.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>

#include "core/common/unix/mutex_unix.h"
#include "core/fdisk/virtual/shared_count.h"
#include "hvplug/error.h"
#include "hvplug/virtual_machine_disk.h"

namespace VirtualDisks {

using SharedDisk = Fdisk::SharedPtr<VirtualMachineDiskEx>;

// Where a disk file lives. The registry only needs to know whether two
// locations name one file.
class DiskLocation {
 public:
  virtual ~DiskLocation() = default;
  virtual bool SameFile(const DiskLocation& other) const = 0;
};

class DiskRegistry {
 public:
  // Opens the disk of a location; a failure is returned, not thrown.
  using Opener = std::function<Common::Error(SharedDisk& disk)>;
  // Told of a live disk a new holder joins; a failure keeps it out.
  using Joiner = std::function<Common::Error(SharedDisk& disk)>;

  DiskRegistry() = default;
  DiskRegistry(const DiskRegistry&) = delete;
  DiskRegistry& operator=(const DiskRegistry&) = delete;

  static const std::shared_ptr<DiskRegistry>& Instance();

  // The live disk registered for the same file, or a new one from open,
  // registered under location. Opening happens under the registry lock so
  // that one file is never opened twice at once; a failed opening registers
  // nothing. join, when given, runs on a live disk before it is handed out.
  Common::Error Acquire(std::shared_ptr<const DiskLocation> location, const Opener& open, SharedDisk& disk,
                        const Joiner& join = nullptr);
  // Drops the holder's reference (closing the disk when it was the last),
  // then removes the first entry whose disk has gone.
  void Release(SharedDisk& disk) noexcept;

  size_t GetEntryCount() const;

 private:
  struct Entry {
    std::shared_ptr<const DiskLocation> location;
    Fdisk::WeakPtr<VirtualMachineDiskEx> disk;
  };

  mutable Common::Mutex mutex_;
  std::list<Entry> entries_;
  size_t entryCount_ = 0;
};

}  // namespace VirtualDisks
