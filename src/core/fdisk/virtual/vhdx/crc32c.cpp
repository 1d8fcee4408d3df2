#include "core/fdisk/virtual/vhdx/crc32c.h"

#include <isa-l/crc.h>

#include <algorithm>

namespace Vhdx {

// ISA-L picks the fastest code the processor runs (carry-less multiply,
// the CRC32 instruction, or a table) and works on the inverted register.
uint32_t Crc32c(uint32_t running, const void* data, size_t size) {
  // Its interface takes a mutable pointer and an int length; it only reads.
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  uint32_t crc = ~running;
  while (size > 0) {
    const size_t piece = std::min<size_t>(size, size_t{1} << 30);
    crc = crc32_iscsi(bytes, static_cast<int>(piece), crc);
    bytes += piece;
    size -= piece;
  }
  return ~crc;
}

uint32_t Crc32cWithZeroedField(const uint8_t* image, size_t size, size_t fieldOffset) {
  static const uint8_t kZero[4] = {};
  uint32_t crc = Crc32c(0, image, fieldOffset);
  crc = Crc32c(crc, kZero, sizeof kZero);
  return Crc32c(crc, image + fieldOffset + sizeof kZero, size - fieldOffset - sizeof kZero);
}

}  // namespace Vhdx
