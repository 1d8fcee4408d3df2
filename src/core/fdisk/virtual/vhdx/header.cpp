#include "core/fdisk/virtual/vhdx/header.h"

#include <cstring>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"

namespace Vhdx {
namespace {

using Image = std::array<uint8_t, kHeaderSize>;

struct BothCopies {
  HeaderImage copy[2];
  // Index of the current copy, or -1 when neither is valid.
  int Current() const {
    if (copy[0].valid && copy[1].valid) return copy[1].sequenceNumber > copy[0].sequenceNumber ? 1 : 0;
    if (copy[0].valid) return 0;
    if (copy[1].valid) return 1;
    return -1;
  }
};

BothCopies ReadBoth(File& file) {
  BothCopies both;
  Image image;
  for (int i = 0; i < 2; ++i) {
    file.Read(kHeaderOffsets[i], image.size(), image.data());
    both.copy[i] = ParseHeader(image.data());
  }
  return both;
}

}  // namespace

HeaderImage ParseHeader(const uint8_t* image) {
  HeaderImage result;
  if (LoadLe32(image + HeaderField::kSignature) != kHeaderSignature) return result;
  uint32_t stored = LoadLe32(image + HeaderField::kChecksum);
  if (Crc32cWithZeroedField(image, kHeaderSize, HeaderField::kChecksum) != stored) return result;
  result.valid = true;
  result.sequenceNumber = LoadLe64(image + HeaderField::kSequenceNumber);
  HeaderInfo& info = result.info;
  info.fileWriteGuid = Common::Guid::Load(image + HeaderField::kFileWriteGuid);
  info.dataWriteGuid = Common::Guid::Load(image + HeaderField::kDataWriteGuid);
  info.logGuid = Common::Guid::Load(image + HeaderField::kLogGuid);
  info.logVersion = LoadLe16(image + HeaderField::kLogVersion);
  info.version = LoadLe16(image + HeaderField::kVersion);
  info.logLength = LoadLe32(image + HeaderField::kLogLength);
  info.logOffset = LoadLe64(image + HeaderField::kLogOffset);
  return result;
}

std::array<uint8_t, kHeaderSize> BuildHeader(const HeaderInfo& info, uint64_t sequenceNumber) {
  Image image{};
  StoreLe32(image.data() + HeaderField::kSignature, kHeaderSignature);
  StoreLe64(image.data() + HeaderField::kSequenceNumber, sequenceNumber);
  info.fileWriteGuid.Store(image.data() + HeaderField::kFileWriteGuid);
  info.dataWriteGuid.Store(image.data() + HeaderField::kDataWriteGuid);
  info.logGuid.Store(image.data() + HeaderField::kLogGuid);
  StoreLe16(image.data() + HeaderField::kLogVersion, info.logVersion);
  StoreLe16(image.data() + HeaderField::kVersion, info.version);
  StoreLe32(image.data() + HeaderField::kLogLength, info.logLength);
  StoreLe64(image.data() + HeaderField::kLogOffset, info.logOffset);
  StoreLe32(image.data() + HeaderField::kChecksum, Crc32c(0, image.data(), image.size()));
  return image;
}

HeaderInfo HeaderInfo::Read(File& file) {
  BothCopies both = ReadBoth(file);
  int current = both.Current();
  if (current < 0) HV_THROW(Code::kVhdxNoCurrentHeader, Msg::kVhdxNoCurrentHeader, "Read");
  return both.copy[current].info;
}

void HeaderInfo::Write(File& file) const {
  int current = ReadBoth(file).Current();
  // The non-current copy first, so that a torn write leaves the current one.
  int first = current == 0 ? 1 : 0;
  Image image = BuildHeader(*this);
  file.Write(kHeaderOffsets[first], image.size(), image.data());
  file.Write(kHeaderOffsets[1 - first], image.size(), image.data());
}

void CheckFileId(File& file) {
  uint8_t id[kFileIdSize];
  try {
    file.Read(kFileIdOffset, sizeof(id), id);
  } catch (const Common::Error& error) {
    // A file too short for the identifier is not a VHDX file either.
    Common::Throw(Common::Wrap(
        Common::MakeError(Code::kVhdxUnknownFormat, Msg::kVhdxUnknownFormat, HV_SITE("CheckFileId")), error));
  }
  if (LoadLe64(id) != kFileIdSignature) HV_THROW(Code::kVhdxUnknownFormat, Msg::kVhdxUnknownFormat, "CheckFileId");
}

void CheckVersion(File& file) {
  CheckFileId(file);
  if (HeaderInfo::Read(file).version != 1)
    HV_THROW(Code::kVhdxInvalidVersion, Msg::kVhdxInvalidVersion, "CheckVersion");
}

void WriteFileId(File& file) {
  uint8_t id[kFileIdSize] = {};
  StoreLe64(id, kFileIdSignature);
  file.Write(kFileIdOffset, sizeof(id), id);
}

}  // namespace Vhdx
