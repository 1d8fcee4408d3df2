#include "virtual_pc/vm/vm_template.h"

#include <atomic>

#include "core/common/zipopen.h"

namespace VirtualPC {
namespace {
std::atomic<ResourceApi::ModuleHandle*> gTemplateModule{nullptr};
}

std::unique_ptr<si_file> OpenMachineTemplate() {
  if (ResourceApi::ModuleHandle* module = gTemplateModule.load())
    return Common::OpenResourceFile(module, u"default.vmc");
  return Common::OpenResourceFile(u"default.vmc");
}

void SetTemplateModule(ResourceApi::ModuleHandle* module) { gTemplateModule.store(module); }

}  // namespace VirtualPC
