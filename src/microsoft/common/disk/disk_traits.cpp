#include "microsoft/common/disk/disk_traits.h"

#include "core/common/error.h"
#include "core/fdisk/virtual/disk_parameters.h"

namespace VirtualWareRaw {
namespace {

std::u16string LowerCaseExtension(const std::u16string& fileName) {
  const size_t dot = fileName.find_last_of(u'.');
  if (dot == std::u16string::npos) return {};
  std::u16string extension = fileName.substr(dot + 1);
  for (char16_t& c : extension)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return extension;
}

void ThrowOnFailure(const Common::Error& error) {
  if (error) Common::Throw(error);
}

}  // namespace

uint64_t GetUpperRoundedSizeInSectors(uint64_t size, uint32_t sectorSize) {
  if (sectorSize == 0) HV_THROW(Code::kInvalidSectorSize, Msg::kInvalidSectorSize, "GetUpperRoundedSizeInSectors");
  return size / sectorSize + (size % sectorSize != 0);
}

uint64_t DiskTraitsBase::GetSizeInBytes(uint64_t size, uint32_t sectorSize) const {
  // The checks behind GetSizeInSectors cap the count far below overflow.
  return GetSizeInSectors(size, sectorSize) * sectorSize;
}

uint64_t VhdxDiskTraits::GetSizeInSectors(uint64_t size, uint32_t sectorSize) const {
  const uint64_t sectors = GetUpperRoundedSizeInSectors(size, sectorSize);
  ThrowOnFailure(VirtualDisks::CheckVhdxDiskParameters(sectors, sectorSize));
  return sectors;
}

uint64_t VhdDiskTraits::GetSizeInSectors(uint64_t size, uint32_t sectorSize) const {
  const uint64_t sectors = GetUpperRoundedSizeInSectors(size, sectorSize);
  ThrowOnFailure(VirtualDisks::CheckMSDiskParameters(sectors, sectorSize, adapterType_));
  return sectors;
}

std::unique_ptr<DiskTraits> CreateDiskTraits(const std::u16string& fileName, uint32_t adapterIndex) {
  const std::u16string extension = LowerCaseExtension(fileName);
  if (extension == u"vhdx" || extension == u"avhdx") return std::make_unique<VhdxDiskTraits>();
  static constexpr uint32_t kAdapters[] = {3, 1, 11, 17};
  return std::make_unique<VhdDiskTraits>(adapterIndex < 4 ? kAdapters[adapterIndex] : 0);
}

}  // namespace VirtualWareRaw
