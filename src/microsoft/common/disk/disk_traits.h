// Disk traits: how the size of a new disk is validated and rounded, chosen
// from the file extension.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace VirtualWareRaw {

// size / sectorSize rounded up; a sector size of 0 throws 0x530108.
uint64_t GetUpperRoundedSizeInSectors(uint64_t size, uint32_t sectorSize);

// Both operations throw Common::Error when the size or sector size is not
// supported for the kind of disk.
class DiskTraits {
 public:
  DiskTraits() = default;
  DiskTraits(const DiskTraits&) = delete;
  DiskTraits& operator=(const DiskTraits&) = delete;
  virtual ~DiskTraits() = default;
  virtual uint64_t GetSizeInSectors(uint64_t size, uint32_t sectorSize) const = 0;
  // The size rounded up to whole sectors, in bytes.
  virtual uint64_t GetSizeInBytes(uint64_t size, uint32_t sectorSize) const = 0;
};

class DiskTraitsBase : public DiskTraits {
 public:
  uint64_t GetSizeInBytes(uint64_t size, uint32_t sectorSize) const override;
};

class VhdxDiskTraits final : public DiskTraitsBase {
 public:
  uint64_t GetSizeInSectors(uint64_t size, uint32_t sectorSize) const override;
};

class VhdDiskTraits final : public DiskTraitsBase {
 public:
  explicit VhdDiskTraits(uint32_t adapterType) : adapterType_(adapterType) {}
  uint64_t GetSizeInSectors(uint64_t size, uint32_t sectorSize) const override;
  uint32_t GetAdapterType() const { return adapterType_; }

 private:
  uint32_t adapterType_;
};

// VHDX traits for ".vhdx" and ".avhdx" in any case; VHD traits otherwise,
// with the adapter of adapterIndex (0 to 3: 3, 1, 11, 17; others 0).
std::unique_ptr<DiskTraits> CreateDiskTraits(const std::u16string& fileName, uint32_t adapterIndex);

}  // namespace VirtualWareRaw
