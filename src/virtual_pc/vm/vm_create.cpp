// Checking the parameters of a new machine and making its file-system name.
#include "common/server/file_utils.h"
#include "core/common/error.h"
#include "core/file/dir_access.h"
#include "hvplug/file.h"
#include "virtual_pc/vm/vm.h"

namespace VirtualPC {

std::u16string MakeVMFileSystemName(const std::u16string& name) {
  std::u16string result = name;
  for (char16_t& c : result) {
    if (std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) c = u'_';
  }
  return result;
}

void CheckMSVPCVirtualMachineParameters(rio_dir& root, const std::u16string& location, const std::u16string& name) {
  std::unique_ptr<rio_dir> dir = FileLayer::OpenDir(root, location);
  if (!dir) {
    Common::Error error =
        Common::MakeErrorWithArgs(Code::kOpenVMFailed, Msg::kAccessStorageFailed,
                                  HV_SITE("CheckMSVPCVirtualMachineParameters"), "location", {location});
    Common::Throw(Common::Wrap(std::move(error), root.TakeError()));
  }
  const std::u16string fsName = MakeVMFileSystemName(name);
  std::unique_ptr<rio_dir> machineDir = FileLayer::OpenDir(*dir, fsName);
  if (!machineDir) {
    dir->TakeError();
    return;
  }
  if (VirtualWareRaw::FileObjectExists(*machineDir, fsName + u".vmc")) {
    HV_THROW_ARGS(Code::kVMExists, Msg::kVMExists, "CheckMSVPCVirtualMachineParameters", "name", {name});
  }
}

}  // namespace VirtualPC
