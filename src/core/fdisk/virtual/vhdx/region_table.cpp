#include "core/fdisk/virtual/vhdx/region_table.h"

#include <algorithm>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"

namespace Vhdx {
namespace {

Common::Guid ParseKnown(const char* text) { return *Common::ParseGuid(text); }

}  // namespace

const Common::Guid kBatRegionGuid = ParseKnown("2DC27766-F623-4200-9D64-115E9BFD4A08");
const Common::Guid kMetadataRegionGuid = ParseKnown("8B7CA206-4790-4B9A-B8FE-575F050F886E");

bool ParseRegionTable(const uint8_t* image, RegionTable& table) {
  if (LoadLe32(image) != kRegionTableSignature) return false;
  uint32_t stored = LoadLe32(image + 4);
  if (Crc32cWithZeroedField(image, kRegionTableSize, 4) != stored) return false;
  uint32_t count = LoadLe32(image + 8);
  if (count > kMaxRegionEntries) return false;
  table.entries.clear();
  table.entries.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = image + 16 + i * kRegionEntrySize;
    table.entries.push_back({Common::Guid::Load(p), LoadLe64(p + 16), LoadLe32(p + 24), LoadLe32(p + 28)});
  }
  return true;
}

std::vector<uint8_t> BuildRegionTable(const RegionTable& table) {
  HV_ASSERT(table.entries.size() <= kMaxRegionEntries);
  std::vector<uint8_t> image(kRegionTableSize, 0);
  StoreLe32(image.data(), kRegionTableSignature);
  size_t count = std::min<size_t>(table.entries.size(), kMaxRegionEntries);
  StoreLe32(image.data() + 8, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = image.data() + 16 + i * kRegionEntrySize;
    const RegionEntry& entry = table.entries[i];
    entry.guid.Store(p);
    StoreLe64(p + 16, entry.fileOffset);
    StoreLe32(p + 24, entry.length);
    StoreLe32(p + 28, entry.required);
  }
  StoreLe32(image.data() + 4, Crc32c(0, image.data(), image.size()));
  return image;
}

RegionTable RegionTable::Read(File& file) {
  std::vector<uint8_t> image(kRegionTableSize);
  RegionTable table;
  for (uint64_t offset : kRegionTableOffsets) {
    file.Read(offset, image.size(), image.data());
    if (ParseRegionTable(image.data(), table)) return table;
  }
  HV_THROW(Code::kVhdxRegionTableInvalid, Msg::kVhdxRegionTableInvalid, "Read");
}

void RegionTable::Write(File& file) const {
  // The reader falls back to the copy a power loss did not tear.
  std::vector<uint8_t> image = BuildRegionTable(*this);
  for (uint64_t offset : kRegionTableOffsets) {
    file.Write(offset, image.size(), image.data());
    file.Flush();
  }
}

RegionEntry GetRegionEntryById(const RegionTable& table, const Common::Guid& guid) {
  for (const RegionEntry& entry : table.entries)
    if (entry.guid == guid) return entry;
  HV_THROW_ARGS(Code::kVhdxRegionEntryNotFound, Msg::kVhdxRegionEntryNotFound, "GetRegionEntryById", "regionId",
                {Common::GuidToWideText(guid)});
}

}  // namespace Vhdx
