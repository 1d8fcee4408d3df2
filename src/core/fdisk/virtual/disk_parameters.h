// Parameters of virtual disks: the geometry reported for an adapter and the
// checks run before a disk of a given size is created.
#pragma once

#include <cstdint>

#include "hvplug/error.h"
#include "hvplug/virtual_machine_disk.h"

namespace VirtualDisks {

// Adapter codes the geometry knows; any other gets an all-zero geometry.
inline constexpr uint32_t kAdapterIde = 3;
inline constexpr uint32_t kAdapterScsi = 1;
inline constexpr uint32_t kAdapterScsiAlt = 17;

// The largest VHDX disk: 64 TiB.
inline constexpr uint64_t kMaxVhdxDiskBytes = 0x400000000000ull;
// The sector counts a VHD disk of a Virtual PC machine may have.
inline constexpr uint64_t kMinMSDiskSectors = 6144;
inline constexpr uint64_t kMaxMSDiskSectors = 0xFF000000ull;

Fdisk::Geometry ComputeGeometry(uint32_t adapterType, uint64_t sectorCount);

// Sector size 512 or 4096 and at most 64 TiB.
Common::Error CheckVhdxDiskParameters(uint64_t sectorCount, uint32_t sectorSize);
// Sector size 512, adapter 1 or 3, and 6144 to 0xFF000000 sectors.
Common::Error CheckMSDiskParameters(uint64_t sectorCount, uint32_t sectorSize, uint32_t adapterType);

}  // namespace VirtualDisks
