// Module-wide state of the loaded library: its path, its resource module and
// the actions that run when it is unloaded.
#pragma once

#include <string>

namespace ResourceApi {
struct ModuleHandle;
}

namespace Common {

// Runs action when the library is unloaded (or the process exits), in
// reverse order of registration.
void RegisterUnloadAction(void (*action)());

// Path of this shared object (see the module path rules), widened with
// bytes 0x80-0xFF mapped to U+F880-U+F8FF.
std::u16string GetModulePath();
std::string GetCapturedModuleName();

// The library's resource module, opened on first need; null when it cannot
// be opened (the next call tries again).
ResourceApi::ModuleHandle* GetResourceModule();

}  // namespace Common
