// File type identifier and the two headers of a VHDX file.
//
// File type identifier at 0 (520 bytes used): Signature "vhdxfile" (8),
// Creator (512, UTF-16, written as zeros).
// Header, two copies at 0x10000 and 0x20000, 4096 bytes each:
//   0 Signature "head" (4)     4 Checksum (4)          8 SequenceNumber (8)
//  16 FileWriteGuid (16)      32 DataWriteGuid (16)   48 LogGuid (16)
//  64 LogVersion (2)          66 Version (2)          68 LogLength (4)
//  72 LogOffset (8)           80 Reserved (4016)
#pragma once

#include <array>
#include <cstdint>

#include "core/common/guid.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

inline constexpr uint64_t kFileIdOffset = 0;
inline constexpr size_t kFileIdSize = 520;
inline constexpr uint64_t kFileIdSignature = 0x656C696678646876ull;  // "vhdxfile"

inline constexpr uint64_t kHeaderOffsets[2] = {0x10000, 0x20000};
inline constexpr size_t kHeaderSize = 4096;
inline constexpr uint32_t kHeaderSignature = 0x64616568;  // "head"
namespace HeaderField {
inline constexpr size_t kSignature = 0, kChecksum = 4, kSequenceNumber = 8, kFileWriteGuid = 16,
                        kDataWriteGuid = 32, kLogGuid = 48, kLogVersion = 64, kVersion = 66, kLogLength = 68,
                        kLogOffset = 72;
}
static_assert(HeaderField::kLogOffset + 8 <= kHeaderSize);

// The current header without its sequence number.
struct HeaderInfo {
  Common::Guid fileWriteGuid;
  Common::Guid dataWriteGuid;
  Common::Guid logGuid;
  uint16_t logVersion = 0;
  uint16_t version = 1;
  uint32_t logLength = 0;
  uint64_t logOffset = 0;

  // The current copy: valid ("head" and checksum), greater sequence number,
  // the first on equality. Throws 0x3C0010 when neither copy is valid.
  static HeaderInfo Read(File& file);
  // Rewrites both copies (sequence number 0), the non-current one first.
  void Write(File& file) const;
};

// Parsing of one 4096-byte header image.
struct HeaderImage {
  bool valid = false;
  uint64_t sequenceNumber = 0;
  HeaderInfo info;
};
HeaderImage ParseHeader(const uint8_t* image);
std::array<uint8_t, kHeaderSize> BuildHeader(const HeaderInfo& info, uint64_t sequenceNumber = 0);

// Fails with 0x3C0003 unless the file starts with "vhdxfile".
void CheckFileId(File& file);
// CheckFileId, then the current header must have Version 1 (0x3C0021).
void CheckVersion(File& file);
// Writes the 520-byte file type identifier with a zero creator.
void WriteFileId(File& file);

}  // namespace Vhdx
