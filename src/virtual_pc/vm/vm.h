// Virtual PC machines: a ".vmc" configuration file in a directory and the
// VHDX disks it lists. All functions throw Common::Error.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/fdisk/virtual/vhdx_disk.h"
#include "hvplug/virtualware.h"

class rio_dir;

namespace VirtualPC {

// What machines reach the host through: the agent's root directory and its
// file tracker (which may be null).
struct HostAccess {
  std::shared_ptr<rio_dir> root;
  VirtualDisks::TrackerRef tracker;
};

// Opens the machine whose configuration file is vmcPath. It may be changed
// until SafeVMAccess sets an access mode without write access.
Processor::AutoRef<VirtualWareRaw::SafeVM> OpenMSVirtualPCVM(const HostAccess& host, const std::u16string& vmcPath);

// Creates the machine directory location/name (characters that are not
// allowed in file names become '_') with name.vmc copied from the template,
// and opens it with write access. flag is reserved.
Processor::AutoRef<VirtualWareRaw::SafeVM> CreateMSVirtualPCVirtualMachine(const HostAccess& host,
                                                                           const std::u16string& location,
                                                                           const std::u16string& name, uint32_t flag);

// The location must open and location/name/name.vmc must not exist yet.
void CheckMSVPCVirtualMachineParameters(rio_dir& root, const std::u16string& location, const std::u16string& name);

// The file-system form of a machine name: '\\', '/', ':', '*', '?', '"',
// '<', '>' and '|' become '_'.
std::u16string MakeVMFileSystemName(const std::u16string& name);

}  // namespace VirtualPC
