#include "core/fdisk/virtual/disk_parameters.h"

#include "core/common/error.h"

namespace VirtualDisks {
namespace {

// The BIOS translation of IDE disks: small disks keep few heads so that the
// cylinder count stays meaningful, large ones grow the head count in steps.
void IdeShape(uint64_t n, uint32_t& spt, uint32_t& heads) {
  if (n <= 0x10FFF) {
    spt = 17, heads = 4;
  } else if (n <= 0x7BFFF) {
    if (n / 496 * 496 < 69632)
      spt = 17, heads = 4;
    else
      spt = 31, heads = 16;
  } else if (n > 0x3EFFC0F) {
    spt = 63, heads = 255;
  } else {
    const uint64_t m = n / 1008 * 1008;
    if (m <= 0x7BFFF) {
      spt = 31, heads = 16;
    } else if (m <= 0xFBFFF) {
      spt = 63, heads = 16;
    } else {
      spt = 63;
      heads = m > 8258543 ? 255 : m >= 0x3F03F0 ? 128 : m >= 0x1F83F0 ? 64 : 32;
    }
  }
}

}  // namespace

Fdisk::Geometry ComputeGeometry(uint32_t adapterType, uint64_t sectorCount) {
  Fdisk::Geometry geometry;
  if (adapterType == kAdapterIde) {
    uint32_t spt = 0, heads = 0;
    IdeShape(sectorCount, spt, heads);
    geometry.sectorsPerTrack = static_cast<uint8_t>(spt);
    geometry.highestHead = static_cast<uint8_t>(heads - 1);
    geometry.cylinders = sectorCount / (spt * heads);
  } else if (adapterType == kAdapterScsi || adapterType == kAdapterScsiAlt) {
    constexpr uint64_t kCylinderSectors = 63 * 255;
    geometry.sectorsPerTrack = 63;
    geometry.highestHead = 254;
    geometry.cylinders = sectorCount > kCylinderSectors ? sectorCount / kCylinderSectors : 1023;
  }
  return geometry;
}

Common::Error CheckVhdxDiskParameters(uint64_t sectorCount, uint32_t sectorSize) {
  if (sectorSize != 512 && sectorSize != 4096)
    return Common::MakeError(Code::kDiskSectorSizeNotSupported, Msg::kDiskSectorSizeNotSupported,
                             HV_SITE("CheckVhdxDiskParameters"));
  if (sectorCount > kMaxVhdxDiskBytes / sectorSize)
    return Common::MakeError(Code::kDiskSizeNotSupported, Msg::kDiskSizeNotSupported,
                             HV_SITE("CheckVhdxDiskParameters"));
  return Common::Success();
}

Common::Error CheckMSDiskParameters(uint64_t sectorCount, uint32_t sectorSize, uint32_t adapterType) {
  if (sectorSize != 512)
    return Common::MakeError(Code::kDiskSectorSizeNotSupported, Msg::kDiskSectorSizeNotSupported,
                             HV_SITE("CheckMSDiskParameters"));
  if (adapterType != kAdapterScsi && adapterType != kAdapterIde)
    return Common::MakeError(Code::kDiskInvalidAdapter, Msg::kDiskInvalidAdapter, HV_SITE("CheckMSDiskParameters"));
  if (sectorCount < kMinMSDiskSectors || sectorCount > kMaxMSDiskSectors)
    return Common::MakeError(Code::kDiskSizeNotSupported, Msg::kDiskSizeNotSupported, HV_SITE("CheckMSDiskParameters"));
  return Common::Success();
}

}  // namespace VirtualDisks
