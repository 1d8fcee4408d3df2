// Test-only builder of differencing chains: turns an engine-made dynamic
// image into a differencing child and places blocks by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common/guid.h"

namespace VhdxTest {

// Engine-made images: 4 MB blocks, 512-byte sectors (8192 sectors a block),
// chunk ratio 1024, BAT at 3 MB.
inline constexpr uint64_t kImageBat = 3 << 20;
inline constexpr uint32_t kImageSectorsPerBlock = 8192;
inline constexpr uint32_t kImageBitmapEntry = 1024;  // chunk 0's sector bitmap entry

// Sets HasParent and a parent locator: linkage to parentDataWriteGuid and
// the given (key, value) locator entries.
void MakeDifferencing(std::vector<uint8_t>& bytes, const Common::Guid& parentDataWriteGuid,
                      const std::vector<std::pair<std::u16string, std::u16string>>& locators);
Common::Guid DataWriteGuidOf(const std::vector<uint8_t>& bytes);
void SetImageEntry(std::vector<uint8_t>& bytes, uint32_t index, uint32_t state, uint64_t mb);
// The BAT entry at index of such an image.
uint64_t ImageEntry(const std::vector<uint8_t>& bytes, uint32_t index);
// Appends a 4 MB block at the next 1 MB boundary whose sector s holds the
// byte tag + s (mod 256) throughout; returns its offset in MB.
uint64_t AppendBlock(std::vector<uint8_t>& bytes, uint8_t tag);
// Appends a 1 MB sector bitmap block whose bytes are all `pattern`.
uint64_t AppendBitmap(std::vector<uint8_t>& bytes, uint8_t pattern);

std::vector<uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A fresh directory under /tmp, removed with its contents at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

}  // namespace VhdxTest
