// CRC-32C (Castagnoli) of headers, region tables and log entries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vhdx {

// Continues a running checksum over data; start with 0. The result of one call
// over a whole buffer is the standard CRC-32C of that buffer.
uint32_t Crc32c(uint32_t running, const void* data, size_t size);

// The CRC-32C of image[0, size) with the 4-byte field at fieldOffset counted
// as zero: how a structure that stores its own checksum is checked.
uint32_t Crc32cWithZeroedField(const uint8_t* image, size_t size, size_t fieldOffset);

}  // namespace Vhdx
