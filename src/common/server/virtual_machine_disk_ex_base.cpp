#include "common/server/virtual_machine_disk_ex_base.h"

#include "core/common/error.h"

namespace VirtualWareRaw {

Common::Error VirtualMachineDiskExBase::GetMetadataKeys(std::vector<Fdisk::MetadataKey>& keys) {
  keys.clear();
  return Common::Success();
}

Common::Error VirtualMachineDiskExBase::GetMetadata(const Fdisk::MetadataKey&, std::vector<uint8_t>&) {
  return Common::MakeError(Code::kNotImplemented, Msg::kNotImplemented, HV_SITE("GetMetadata"));
}

Common::Error VirtualMachineDiskExBase::CanSetMetadata(const Fdisk::MetadataKey&, bool& canSet) {
  canSet = false;
  return Common::Success();
}

Common::Error VirtualMachineDiskExBase::SetMetadata(const Fdisk::MetadataKey&, const std::vector<uint8_t>&) {
  return Common::MakeError(Code::kNotImplemented, Msg::kNotImplemented, HV_SITE("SetMetadata"));
}

}  // namespace VirtualWareRaw
