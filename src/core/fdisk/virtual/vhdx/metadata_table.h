// Reading and changing the metadata table inside a region.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/file_region.h"
#include "core/fdisk/virtual/vhdx/metadata.h"

namespace Vhdx {

struct MetadataEntry {
  MetadataDescriptor descriptor;
  uint32_t offset = 0;
  uint32_t length = 0;
};

// Reads the 32-byte header (0x3C0012 unless "metadata") and the entries.
// More entries than the table area holds fail with 0x3C0012 as well.
std::vector<MetadataEntry> ReadMetadataTable(ReadOnlyFileRegion& region);

std::shared_ptr<MetadataReader> MakeMetadataReader(std::shared_ptr<ReadOnlyFileRegion> region);
std::shared_ptr<MetadataModifier> MakeMetadataModifier(std::shared_ptr<ExpandableFileRegion> region);

// A provider that hands out one item.
std::shared_ptr<MetadataProvider> MakeSingleItemProvider(MetadataDescriptor descriptor, std::vector<uint8_t> data);
// A consumer that passes every item it is given to a modifier's Set.
std::shared_ptr<MetadataConsumer> MakeSettingConsumer(MetadataModifier& modifier);

}  // namespace Vhdx
