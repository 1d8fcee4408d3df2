// File names come from the file system as arbitrary bytes: decoding must
// never fail, and encoding the result must give the same bytes back (names
// that spell U+F880..U+F8FF in UTF-8 are the known exception: they decode to
// the code points that stand for raw bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/file/unix/file_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool pinned = (FileLayer::UseFileNameConverter("UTF-8"), true);
  (void)pinned;
  const std::string name(reinterpret_cast<const char*>(data), size);
  const std::u16string wide = FileLayer::FileNameFromSystem(name);
  for (char16_t c : wide)
    if (c >= 0xF880 && c <= 0xF8FF && name.find("\xEF\xA2") != std::string::npos) return 0;
  for (char16_t c : wide)
    if (c >= 0xF880 && c <= 0xF8FF && name.find("\xEF\xA3") != std::string::npos) return 0;
  if (FileLayer::FileNameToSystem(wide) != name) std::abort();
  return 0;
}
