#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

#include <cstdio>

#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/region_table.h"

namespace VhdxTest {

MemoryFile::MemoryFile(std::vector<uint8_t> bytes)
    : core(std::make_shared<Vhdx::MemoryCoreFile>(std::move(bytes))),
      file(std::make_shared<Vhdx::WriteableFile>(core)) {}

std::shared_ptr<Vhdx::File> MemoryFile::ReadOnly() const { return std::make_shared<Vhdx::ReadOnlyFile>(core); }

std::vector<uint8_t> MakeDiskImage(uint64_t virtualSize, bool fixed, uint32_t sectorSize) {
  MemoryFile memory;
  Vhdx::WriteNewDiskFile(*memory.file, {virtualSize, sectorSize, fixed});
  return std::move(memory.Bytes());
}

OpenedImage OpenImage(std::vector<uint8_t> bytes, bool writable) {
  auto core = std::make_shared<Vhdx::MemoryCoreFile>(std::move(bytes));
  auto disk = writable ? Vhdx::OpenDiskFileWritable(core, Vhdx::MakePage83MetadataConsumer())
                       : Vhdx::OpenDiskFileReadOnly(core, Vhdx::MakePage83MetadataConsumer());
  return {core, disk};
}

void SetRawMetadata(std::vector<uint8_t>& bytes, const Vhdx::MetadataDescriptor& descriptor,
                    const std::vector<uint8_t>& value) {
  MemoryFile memory(std::move(bytes));
  auto region =
      Vhdx::MakeThrowingExpandableFileRegion(Vhdx::MakeWritableFileRegion(memory.file, {kMetadataRegion, 1 << 20}));
  Vhdx::MakeMetadataModifier(region)->Set(descriptor, value.data(), static_cast<uint32_t>(value.size()));
  bytes = std::move(memory.Bytes());
}

void FixChecksum(std::vector<uint8_t>& bytes, size_t start, size_t size, size_t checksumOffset) {
  Vhdx::StoreLe32(bytes.data() + checksumOffset, 0);
  Vhdx::StoreLe32(bytes.data() + checksumOffset, Vhdx::Crc32c(0, bytes.data() + start, size));
}

void FixHeaderChecksums(std::vector<uint8_t>& bytes) {
  for (uint64_t offset : Vhdx::kHeaderOffsets) FixChecksum(bytes, offset, Vhdx::kHeaderSize, offset + 4);
}

void FixRegionTableChecksums(std::vector<uint8_t>& bytes) {
  for (uint64_t offset : Vhdx::kRegionTableOffsets) FixChecksum(bytes, offset, Vhdx::kRegionTableSize, offset + 4);
}

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  Vhdx::StoreLe16(bytes.data() + offset, value);
}
void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  Vhdx::StoreLe32(bytes.data() + offset, value);
}
void Put64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value) {
  Vhdx::StoreLe64(bytes.data() + offset, value);
}
void PutGuid(std::vector<uint8_t>& bytes, size_t offset, const char* text) {
  Common::ParseGuid(text)->Store(bytes.data() + offset);
}

std::string MessageOf(const Common::Error& error) { return Common::Utf16ToUtf8(Common::FormatErrorMessage(error)); }

std::string CodeAndMessage(const Common::Error& error) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%X ", error.Code());
  return code + MessageOf(error);
}

}  // namespace VhdxTest
