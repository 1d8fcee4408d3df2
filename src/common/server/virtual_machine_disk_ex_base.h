// Base of extended machine disks that offer no metadata items.
#pragma once

#include <cstdint>
#include <vector>

#include "hvplug/virtual_machine_disk.h"

namespace VirtualWareRaw {

// Listing gives nothing, nothing can be set, reading and writing items is
// not implemented (0x530062).
class VirtualMachineDiskExBase : public VirtualMachineDiskEx {
 public:
  Common::Error GetMetadataKeys(std::vector<Fdisk::MetadataKey>& keys) override;
  Common::Error GetMetadata(const Fdisk::MetadataKey& key, std::vector<uint8_t>& value) override;
  Common::Error CanSetMetadata(const Fdisk::MetadataKey& key, bool& canSet) override;
  Common::Error SetMetadata(const Fdisk::MetadataKey& key, const std::vector<uint8_t>& value) override;
};

}  // namespace VirtualWareRaw
