#include "virtual_pc/server/dummy_support.h"

#include "common/server/shared_access_helper.h"
#include "core/common/error.h"
#include "core/fdisk/virtual/disk_parameters.h"
#include "processor/singleton.h"
#include "virtual_pc/vm/vm.h"

namespace VirtualPC {

void MSVPCDummyVMSupport::CheckAndFillDiskParameters(DiskParameters& params) {
  if (params.SectorSize == 0) HV_THROW(0x530108, Msg::kInvalidSectorSize, "CheckAndFillDiskParameters");
  const uint64_t sectors = params.Size / params.SectorSize;
  if (Common::Error error = VirtualDisks::CheckVhdxDiskParameters(sectors, params.SectorSize)) Common::Throw(error);
  // A disk needs at least its first sector, and reads must end below the last one.
  if (sectors < 2) HV_THROW(0x3C000B, Msg::kDiskSizeNotSupported, "CheckAndFillDiskParameters");
  static constexpr uint32_t kAdapterCodes[] = {3, 1, 11, 17};
  const uint32_t code = params.AdapterType < 4 ? kAdapterCodes[params.AdapterType] : 0;
  const Fdisk::Geometry geometry = VirtualDisks::ComputeGeometry(code, sectors);
  params.Heads = geometry.highestHead;
  params.SectorsPerTrack = geometry.sectorsPerTrack;
  params.Size = sectors * params.SectorSize;
}

void MSVPCDummyVMSupport::CheckVirtualMachineParameters(const VMParameters& params) {
  std::lock_guard<std::recursive_mutex> lock(Mutex());
  rio_dir& root = Root();
  if (!params.Login.empty() && !params.Password.empty()) {
    Common::Credentials credentials;
    credentials.userName = params.Login;
    credentials.password = params.Password;
    VirtualWareRaw::SetAccessCredentialsHelper(root, params.Storage, credentials);
  }
  CheckMSVPCVirtualMachineParameters(root, params.Storage, params.Name);
}

Processor::RefPtr<MSVPCDummyVMSupport> GetDummyVMSupport(const std::function<std::shared_ptr<rio_dir>()>& rootSource) {
  Processor::RefPtr<MSVPCDummyVMSupport> support = Processor::Singleton<MSVPCDummyVMSupport, true>::Instance();
  if (!support->IsBound()) support->BindRoot(rootSource());
  return support;
}

}  // namespace VirtualPC
