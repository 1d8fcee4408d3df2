#include "core/common/unix/safe_close.h"

#include <dlfcn.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Common {

namespace {

const SafeCloseMode gMode = ParseSafeCloseMode(std::getenv("QUILLON_SAFE_CLOSE"));

using CloseFn = int (*)(int);
using FcloseFn = int (*)(FILE*);

struct LibcFunctions {
  CloseFn close = nullptr;
  FcloseFn fclose = nullptr;
};

[[noreturn]] void Stop() {
  if (gMode == kSafeCloseBreak) raise(SIGTRAP);
  std::abort();
}

const LibcFunctions& Libc() {
  static LibcFunctions functions;
  static std::once_flag once;
  std::call_once(once, [] {
    if (void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD)) {
      functions.close = reinterpret_cast<CloseFn>(dlsym(libc, "close"));
      functions.fclose = reinterpret_cast<FcloseFn>(dlsym(libc, "fclose"));
      dlclose(libc);
    }
  });
  if (!functions.close || !functions.fclose) Stop();
  return functions;
}

void OnFailure() {
  if (gMode == kSafeCloseReturn) return;
  Stop();
}

}  // namespace

SafeCloseMode ParseSafeCloseMode(const char* value) {
  if (!value) return kSafeCloseAbort;
  if (std::strstr(value, "break")) return kSafeCloseBreak;
  if (std::strstr(value, "abort")) return kSafeCloseAbort;
  return kSafeCloseReturn;
}

SafeCloseMode GetSafeCloseMode() { return gMode; }

int SafeClose(int fd) {
  const int result = Libc().close(fd);
  if (result != 0 && errno == EBADF) {
    const int saved = errno;
    OnFailure();
    errno = saved;
  }
  return result;
}

int SafeFclose(FILE* file) {
  const int result = Libc().fclose(file);
  if (result != 0) {
    const int saved = errno;
    OnFailure();
    errno = saved;
  }
  return result;
}

}  // namespace Common
