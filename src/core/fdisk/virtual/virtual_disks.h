// The entry points of the virtual disk layer: opening a VHDX disk for a hard
// disk (shared between all holders of the same file) and creating one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/fdisk/virtual/disk_registry.h"
#include "core/fdisk/virtual/vhdx_disk.h"
#include "hvplug/error.h"
#include "hvplug/virtual_machine_disk.h"

class rio_dir;

namespace VirtualDisks {

// A file named relative to a directory object. Two locations name the same
// file when their directories compare equal and the entries have one file
// identifier (device and inode for local files), so that two names of one
// file match.
class FileLocation final : public DiskLocation {
 public:
  FileLocation(std::shared_ptr<rio_dir> dir, std::u16string name) : dir_(std::move(dir)), name_(std::move(name)) {}
  bool SameFile(const DiskLocation& other) const override;

 private:
  std::shared_ptr<rio_dir> dir_;
  std::u16string name_;
};

// Opens name in dir (the file writable, its parents read-only) or joins the
// holders of an already open disk of the same file. tracker, which may be
// null, answers change IDs; the first opening's tracker serves all holders.
// firstFill starts a first fill (Vhdx::Disk::BeginFirstFill) when this call
// opens the file; a holder that joins without it ends a fill under way, so
// that its writes keep their barriers.
Common::Error OpenVhdxDisk(const std::shared_ptr<rio_dir>& dir, const std::u16string& name, uint32_t adapterType,
                           std::shared_ptr<VirtualMachineDiskEx>& disk, const TrackerRef& tracker = nullptr,
                           bool firstFill = false);

// Creates a new VHDX file of sectorCount sectors of sectorSize bytes (512 or
// 4096), dynamic unless fixed is set. The name must not exist yet; a failed
// creation leaves no file.
Common::Error CreateVhdxDisk(rio_dir& dir, const std::u16string& name, uint64_t sectorCount, bool fixed,
                             uint32_t sectorSize = 512);

}  // namespace VirtualDisks
