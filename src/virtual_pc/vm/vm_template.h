// Where new machines take their configuration from: "default.vmc" of the
// library's resource archive.
#pragma once

#include <memory>

#include "hvplug/file.h"

namespace ResourceApi {
struct ModuleHandle;
}

namespace VirtualPC {

// The template file, or null when the archive has none.
std::unique_ptr<si_file> OpenMachineTemplate();

// Takes the template from another module's archive (for programs that link
// the library statically, such as the tests); null restores the default.
void SetTemplateModule(ResourceApi::ModuleHandle* module);

}  // namespace VirtualPC
