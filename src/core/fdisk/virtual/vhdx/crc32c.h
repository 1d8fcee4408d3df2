// CRC-32C (Castagnoli) of headers, region tables and log entries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vhdx {

// Continues a running checksum over data; start with 0. The result of one call
// over a whole buffer is the standard CRC-32C of that buffer.
uint32_t Crc32c(uint32_t running, const void* data, size_t size);

// The table-driven variant, also used where the processor lacks SSE4.2.
uint32_t Crc32cPortable(uint32_t running, const void* data, size_t size);

}  // namespace Vhdx
