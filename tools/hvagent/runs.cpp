#include "runs.h"

#include <cstring>

namespace Hvagent {

void AppendExtent(std::vector<Extent>& list, Extent extent) {
  if (!extent.length) return;
  if (!list.empty() && list.back().start + list.back().length == extent.start) {
    list.back().length += extent.length;
  } else {
    list.push_back(extent);
  }
}

bool IsZeroSector(const uint8_t* sector, uint32_t sectorSize) {
  // Sector sizes are multiples of 64: OR whole words, eight at a time.
  uint64_t acc = 0;
  for (uint32_t i = 0; i < sectorSize; i += 64) {
    uint64_t words[8];
    std::memcpy(words, sector + i, 64);
    for (uint64_t w : words) acc |= w;
    if (acc) return false;
  }
  return true;
}

}  // namespace Hvagent
