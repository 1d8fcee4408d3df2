#include "core/common/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "hvplug/resource_api.h"

extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*)(void*), void*, void*);

namespace Common {

namespace {

void RunAction(void* action) { reinterpret_cast<void (*)()>(action)(); }

std::string CaptureModuleName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&CaptureModuleName), &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

// Captured at load time.
const std::string gModuleName = CaptureModuleName();

std::atomic<ResourceApi::ModuleHandle*> gResourceModule{nullptr};

void CloseResourceModule() {
  if (auto* handle = gResourceModule.exchange(nullptr)) ResourceApi::CloseModule(handle);
}

}  // namespace

void RegisterUnloadAction(void (*action)()) {
  __cxa_atexit(RunAction, reinterpret_cast<void*>(action), &__dso_handle);
}

std::string GetCapturedModuleName() { return gModuleName; }

std::u16string GetModulePath() {
  std::string path = gModuleName;
  char buffer[4096];
  if (path.find('/') == std::string::npos) {
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    path = n > 0 && static_cast<size_t>(n) < sizeof buffer ? std::string(buffer, n) : std::string();
  } else if (path[0] != '/') {
    path = getcwd(buffer, sizeof buffer) ? std::string(buffer) + "/" + path : std::string();
  }
  std::u16string wide;
  for (unsigned char c : path) wide += c < 0x80 ? char16_t(c) : char16_t(0xF800 | c);
  return wide;
}

ResourceApi::ModuleHandle* GetResourceModule() {
  if (auto* handle = gResourceModule.load()) return handle;
  ResourceApi::OpenModule(nullptr);
  if (auto* handle = gResourceModule.load()) return handle;
  const std::u16string path = GetModulePath();
  ResourceApi::ModuleHandle* opened = ResourceApi::OpenModule(path.c_str());
  if (!opened) return nullptr;
  ResourceApi::ModuleHandle* expected = nullptr;
  if (!gResourceModule.compare_exchange_strong(expected, opened)) {
    ResourceApi::CloseModule(opened);
    return expected;
  }
  static std::once_flag once;
  std::call_once(once, [] { RegisterUnloadAction(CloseResourceModule); });
  return opened;
}

}  // namespace Common
