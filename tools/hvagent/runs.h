// Splitting sector data into runs of data and runs of zeros, and keeping
// lists of sector extents merged.
#pragma once

#include <cstdint>
#include <vector>

namespace Hvagent {

// Sectors [start, start + length).
struct Extent {
  uint64_t start = 0;
  uint64_t length = 0;
  bool operator==(const Extent&) const = default;
};

// Appends extent, merging it with the last one when they touch.
void AppendExtent(std::vector<Extent>& list, Extent extent);

// Calls onRun(firstSector, sectorCount, zero) for each maximal run of
// all-zero or not-all-zero sectors of buffer, in order. buffer holds
// count sectors of sectorSize bytes starting at sector first.
template <class F>
void ForEachRun(const uint8_t* buffer, uint64_t first, uint64_t count, uint32_t sectorSize, F&& onRun);

bool IsZeroSector(const uint8_t* sector, uint32_t sectorSize);

template <class F>
void ForEachRun(const uint8_t* buffer, uint64_t first, uint64_t count, uint32_t sectorSize, F&& onRun) {
  uint64_t runStart = 0;
  bool runZero = false;
  for (uint64_t i = 0; i < count; ++i) {
    bool zero = IsZeroSector(buffer + i * sectorSize, sectorSize);
    if (i == 0) {
      runZero = zero;
    } else if (zero != runZero) {
      onRun(first + runStart, i - runStart, runZero);
      runStart = i;
      runZero = zero;
    }
  }
  if (count) onRun(first + runStart, count - runStart, runZero);
}

}  // namespace Hvagent
