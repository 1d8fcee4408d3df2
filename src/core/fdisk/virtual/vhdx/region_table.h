// The region table: two 64 KB copies at 0x30000 and 0x40000.
//   0 Signature "regi" (4)  4 Checksum (4)  8 EntryCount (4)  12 Reserved (4)
//  16 + 32 i: entry i = Guid (16), FileOffset (8), Length (4), Required (4)
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/guid.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

inline constexpr uint64_t kRegionTableOffsets[2] = {0x30000, 0x40000};
inline constexpr size_t kRegionTableSize = 65536;
inline constexpr uint32_t kRegionTableSignature = 0x69676572;  // "regi"
inline constexpr size_t kRegionEntrySize = 32;
// Entries that fit in one image after the 16-byte table header.
inline constexpr uint32_t kMaxRegionEntries = (kRegionTableSize - 16) / kRegionEntrySize;
static_assert(kMaxRegionEntries == 2047);

extern const Common::Guid kBatRegionGuid;       // 2DC27766-F623-4200-9D64-115E9BFD4A08
extern const Common::Guid kMetadataRegionGuid;  // 8B7CA206-4790-4B9A-B8FE-575F050F886E

struct RegionEntry {
  Common::Guid guid;
  uint64_t fileOffset = 0;
  uint32_t length = 0;
  uint32_t required = 0;
};

struct RegionTable {
  std::vector<RegionEntry> entries;

  // The first valid copy; 0x3C0011 when neither is. A copy whose EntryCount
  // exceeds what the image holds is invalid.
  static RegionTable Read(File& file);
  // Writes the same image to both copies, the first copy first, with a
  // barrier after each: a power loss tears at most one of them.
  void Write(File& file) const;
};

// Parses one 64 KB image; false when it is not valid.
bool ParseRegionTable(const uint8_t* image, RegionTable& table);
std::vector<uint8_t> BuildRegionTable(const RegionTable& table);

// The first entry with that GUID; 0x3C0018 naming the GUID when absent.
RegionEntry GetRegionEntryById(const RegionTable& table, const Common::Guid& guid);

}  // namespace Vhdx
