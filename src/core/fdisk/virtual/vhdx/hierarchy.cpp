#include "core/fdisk/virtual/vhdx/hierarchy.h"

#include <cstring>

namespace Vhdx {

void ZeroFillNeeded(Vhd::Bitmap& needed, uint64_t first, uint64_t count, uint8_t* buffer, uint64_t sectorSize) {
  if (count == 0) return;
  const uint64_t end = first + count;
  uint64_t p = needed.FindInRange(first, count, true);
  while (p < end) {
    uint64_t q = needed.FindInRange(p, end - p, false);
    std::memset(buffer + p * sectorSize, 0, (q - p) * sectorSize);
    needed.SetRange(p, q - p, false);
    if (q >= end) break;
    p = needed.FindInRange(q, end - q, true);
  }
}

uint64_t DiskFileHierarchy::SectorCount() const {
  DiskGeometry geometry = GetGeometry();
  return geometry.logicalSectorSize ? geometry.virtualSize / geometry.logicalSectorSize : 0;
}

void DiskFileHierarchy::ReadSectors(uint64_t firstSector, Vhd::Bitmap& needed, uint8_t* buffer) {
  DiskFileDelegate::ReadSectors(firstSector, needed, buffer);
  const uint64_t count = needed.Size();
  if (!parent_ || needed.FindFirst(true) >= count) return;
  const uint64_t sectorSize = GetGeometry().logicalSectorSize;
  const uint64_t parentSectors = parent_->SectorCount();
  if (firstSector >= parentSectors) {
    ZeroFillNeeded(needed, 0, count, buffer, sectorSize);
    return;
  }
  const uint64_t n = std::min(parentSectors - firstSector, count);
  if (n == count) {
    parent_->ReadSectors(firstSector, needed, buffer);
    return;
  }
  parent_->ReadSectors(firstSector, *needed.Sub(0, n), buffer);
  ZeroFillNeeded(needed, n, count - n, buffer, sectorSize);
}

}  // namespace Vhdx
