// Demonstration host: loads the plug-in as an agent would, opens the server,
// and shows what a refused request looks like in the current language.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/common/error.h"
#include "hvplug/entry.h"
#include "hvplug/resource_api.h"

namespace {

std::string ToUtf8(const std::u16string& text) { return Common::Utf16ToUtf8(text); }

void PrintError(const char* what, const Common::Error& error) {
  std::printf("%s:\n", what);
  for (Common::Error e = error; e.IsFailure(); e = e.Cause())
    std::printf("  0x%06X %s (%s, %s:%u)\n", e.Code(), ToUtf8(e.Message()).c_str(), e.Function(), e.Source(),
                e.Line());
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = "libhvplug.so";
  if (argc > 1) library = argv[1];
  else if (const char* slash = std::strrchr(argv[0], '/'))
    library = std::string(static_cast<const char*>(argv[0]), slash) + "/../lib/libhvplug.so";

  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "hvdemo: %s\n", dlerror());
    return 1;
  }
  auto open = reinterpret_cast<SafeOpenVirtualServerFn>(dlsym(module, "SafeOpenVirtualServer"));
  if (!open) {
    std::fprintf(stderr, "hvdemo: no SafeOpenVirtualServer in %s\n", library.c_str());
    return 1;
  }
  int status = 0;
  {
    Common::Error result;
    Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> server;
    open(result, VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC, server);
    if (result.IsFailure() || !server) {
      PrintError("Opening the Virtual PC server failed", result);
      status = 1;
    } else {
      std::u16string name;
      uint32_t type = 0;
      server->GetServerName(name);
      server->GetServerType(type);
      std::printf("Opened server \"%s\", type %u\n", ToUtf8(name).c_str(), type);
    }

    std::printf("Language: %s\n", ResourceApi::GetLanguage());
    Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> other;
    open(result, 6, other);
    PrintError("Asking for server type 6 (not supported)", result);
    if (result.Code() != 0x530069) status = 1;
  }
  dlclose(module);
  return status;
}
