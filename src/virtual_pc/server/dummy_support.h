// The dummy machines of Virtual PC servers: one support shared by every
// server of the process.
#pragma once

#include <functional>
#include <memory>

#include "common/server/dummy_vm_support.h"
#include "processor/ref_ptr.h"

namespace VirtualPC {

class MSVPCDummyVMSupport : public VirtualWareRaw::DummyVMSupport {
 public:
  uint32_t GetServerType() const override { return VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC; }
  // Sector size 512 or 4096, a size the VHDX engine accepts, the geometry of
  // the adapter; the size is rounded down to whole sectors.
  void CheckAndFillDiskParameters(DiskParameters& params) override;
  // Credentials first (when both are given), then the location and name
  // checks that machine creation makes.
  void CheckVirtualMachineParameters(const VMParameters& params) override;
};

// The process-wide support; while it has no root it is bound to the one
// rootSource gives (null: stays unbound).
Processor::RefPtr<MSVPCDummyVMSupport> GetDummyVMSupport(const std::function<std::shared_ptr<rio_dir>()>& rootSource);

}  // namespace VirtualPC
