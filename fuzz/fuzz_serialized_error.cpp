// Serialized errors arrive from another library: any bytes must parse into a
// chain (or success) that can be read back without faults.
#include <cstddef>
#include <cstdint>

#include "core/common/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Common::Error error = Common::ErrorFromSerialized(data, size);
  for (Common::Error e = error; e.IsFailure(); e = e.Cause()) {
    (void)e.Message();
    (void)Common::FormatErrorMessage(e);
    if (const char* names = e.ArgumentNames()) (void)names[0];
    (void)e.GetWide("fileName");
    (void)e.GetNarrow("$module");
    (void)e.GetNumber("code");
  }
  return 0;
}
