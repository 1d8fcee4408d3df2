// The hard disks of a Virtual PC machine: where a disk sits and which file
// holds it (MSVirtualPCHDD), and the raw disk that opens that file for
// sector access (SafeRawHardDiskImpl).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/fdisk/virtual/vhdx_disk.h"
#include "hvplug/virtualware.h"

class rio_dir;

namespace VirtualPC {

// The adapter type machines open their disks with.
inline constexpr uint32_t kHardDiskAdapterType = 3;

// diskFile is a file name or a path relative to dir (or absolute). Opening
// is deferred to the raw disk; tracker (may be null) answers change IDs.
// firstFill: the first raw disk taken opens the file for a first fill.
Processor::AutoRef<VirtualWareRaw::SafeHardDisk> MakeMSVirtualPCHDD(std::shared_ptr<rio_dir> dir,
                                                                    std::u16string diskFile, uint32_t bus,
                                                                    uint32_t controller, uint32_t device,
                                                                    VirtualDisks::TrackerRef tracker = {},
                                                                    bool firstFill = false);

// A raw disk over dir/diskFile, opened on the first GetDisk and kept.
Processor::AutoRef<VirtualWareRaw::SafeRawHardDisk> MakeRawHardDisk(std::shared_ptr<rio_dir> dir,
                                                                    std::u16string diskFile,
                                                                    VirtualDisks::TrackerRef tracker = {},
                                                                    bool firstFill = false);

// Removes the disk file from dir; throws 0x53004a naming it when it cannot.
void DeleteDiskFile(rio_dir& dir, const std::u16string& diskFile);

}  // namespace VirtualPC
