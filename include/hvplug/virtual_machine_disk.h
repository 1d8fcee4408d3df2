// Sector disks as the agent and the hard-disk objects see them. Both sides of
// the plug-in boundary call these through their virtual slots, so the
// declaration order below is the slot order (0 and 1 are the destructors).
// Every operation that can fail returns a Common::Error; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hvplug/error.h"

namespace Fdisk {

// Cylinder/head/sector view of a disk. The head field holds the highest head
// number (heads - 1), so 255 heads fit in a byte.
struct Geometry {
  uint8_t sectorsPerTrack = 0;
  uint8_t highestHead = 0;
  uint64_t cylinders = 0;
};

// Sectors [start, start + length).
struct SectorRange {
  uint64_t start = 0;
  uint64_t length = 0;
};

// A user metadata item's key: its GUID in text form and its flags
// (1 IsUser, 2 IsVirtualDisk, 4 IsRequired).
struct MetadataKey {
  std::u16string id;
  uint32_t flags = 0;
};

// Modes of SimpleDisk::IO; any other mode does nothing and succeeds.
inline constexpr uint32_t kIoRead = 2;
inline constexpr uint32_t kIoWrite = 3;
// Makes everything written so far durable (buffer and sectors are not used).
// Releasing a disk flushes it too, but can tell nobody of a failure.
inline constexpr uint32_t kIoFlush = 4;

class SimpleDisk {
 public:
  SimpleDisk() = default;
  SimpleDisk(const SimpleDisk&) = delete;
  SimpleDisk& operator=(const SimpleDisk&) = delete;
  virtual ~SimpleDisk() = default;                  // 0, 1
  virtual uint32_t GetSectorSize() const = 0;       // 2
  virtual uint64_t GetSectorCount() const = 0;      // 3
  virtual const Geometry& GetGeometry() const = 0;  // 4
  // The buffer holds sectorCount * sector size bytes.
  virtual Common::Error IO(uint32_t mode, void* buffer, uint64_t firstSector, uint64_t sectorCount) = 0;  // 5
};

}  // namespace Fdisk

class VirtualMachineDisk : public Fdisk::SimpleDisk {
 public:
  virtual Common::Error GetPlatformHandle(intptr_t& handle) = 0;  // 6
  // Empty when the disk knows no change identifier.
  virtual Common::Error GetCurrentChangeID(std::u16string& changeId) = 0;  // 7
  // Appends the sectors of range changed since changeId, merged and in
  // increasing order. "*" counts every allocated sector as changed.
  virtual Common::Error GetChangedSectors(const std::u16string& changeId, const Fdisk::SectorRange& range,
                                          std::vector<Fdisk::SectorRange>& changed) = 0;  // 8
  // The adapter code the disk was opened with.
  virtual uint32_t GetAdapterType() const = 0;  // 9
};

class VirtualMachineDiskEx : public VirtualMachineDisk {
 public:
  // Keys of the metadata items users may see, in table order.
  virtual Common::Error GetMetadataKeys(std::vector<Fdisk::MetadataKey>& keys) = 0;                         // 10
  virtual Common::Error GetMetadata(const Fdisk::MetadataKey& key, std::vector<uint8_t>& value) = 0;        // 11
  virtual Common::Error CanSetMetadata(const Fdisk::MetadataKey& key, bool& canSet) = 0;                    // 12
  virtual Common::Error SetMetadata(const Fdisk::MetadataKey& key, const std::vector<uint8_t>& value) = 0;  // 13
};
