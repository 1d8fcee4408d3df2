#include "core/fdisk/virtual/vhdx/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace Vhdx {
namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;  // reflected Castagnoli polynomial

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kPolynomial : crc >> 1;
    table[i] = crc;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t running, const uint8_t* p, size_t size) {
  uint64_t crc = ~running;
  while (size >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    crc = _mm_crc32_u64(crc, word);
    p += 8;
    size -= 8;
  }
  uint32_t crc32 = static_cast<uint32_t>(crc);
  while (size--) crc32 = _mm_crc32_u8(crc32, *p++);
  return ~crc32;
}

bool HasSse42() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t Crc32cPortable(uint32_t running, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = ~running;
  while (size--) crc = kTable[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t Crc32c(uint32_t running, const void* data, size_t size) {
#if defined(__x86_64__)
  if (HasSse42()) return Crc32cHardware(running, static_cast<const uint8_t*>(data), size);
#endif
  return Crc32cPortable(running, data, size);
}

}  // namespace Vhdx
