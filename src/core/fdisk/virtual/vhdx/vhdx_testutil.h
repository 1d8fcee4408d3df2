// Shared helpers for tests of the VHDX engine: in-memory files, one-byte
// corruption, checksum repair, counting of file accesses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/core_file.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/file.h"
#include "thrown.h"

namespace VhdxTest {

using HvTest::Thrown;

// A writable Vhdx::File over bytes in memory; Core() gives the bytes.
struct MemoryFile {
  std::shared_ptr<Vhdx::MemoryCoreFile> core;
  std::shared_ptr<Vhdx::File> file;

  explicit MemoryFile(std::vector<uint8_t> bytes = {});
  std::vector<uint8_t>& Bytes() { return core->Bytes(); }
  std::shared_ptr<Vhdx::File> ReadOnly() const;
};

// Counts the calls and bytes that pass through it.
class CountingFile : public Vhdx::FileDecorator {
 public:
  using FileDecorator::FileDecorator;
  void Read(uint64_t offset, size_t size, void* buffer) override {
    ++reads;
    readBytes += size;
    FileDecorator::Read(offset, size, buffer);
  }
  void Write(uint64_t offset, size_t size, const void* buffer) override {
    ++writes;
    writeLog.push_back({offset, size});
    FileDecorator::Write(offset, size, buffer);
  }
  void WriteZero(uint64_t offset, uint64_t length) override {
    ++writes;
    writeLog.push_back({offset, length});
    FileDecorator::WriteZero(offset, length);
  }
  void Expand(uint64_t size) override {
    ++expands;
    FileDecorator::Expand(size);
  }
  struct Access {
    uint64_t offset;
    uint64_t size;
  };
  int reads = 0, writes = 0, expands = 0;
  uint64_t readBytes = 0;
  std::vector<Access> writeLog;
};

// A file whose changes are the listed [start, end) byte ranges.
struct ListedChanges final : Vhd::ChangedFile {
  explicit ListedChanges(std::vector<std::pair<uint64_t, uint64_t>> ranges = {}, uint64_t size = UINT64_MAX)
      : ranges(std::move(ranges)), size(size) {}
  bool IsWholeFileChanged() override { return false; }
  uint64_t GetSize() override { return size; }
  std::vector<std::pair<uint64_t, uint64_t>> GetChangedRanges(uint64_t, uint64_t) override { return ranges; }
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  uint64_t size;
};

// A new VHDX file made by the engine, in memory.
std::vector<uint8_t> MakeDiskImage(uint64_t virtualSize, bool fixed = false, uint32_t sectorSize = 512);
// Where things are in such an image.
inline constexpr size_t kMetadataRegion = 2 << 20;
inline constexpr size_t MetadataEntryAt(size_t index) { return kMetadataRegion + 32 + 32 * index; }

// Opens an image kept in memory; the page 83 item is accepted and ignored.
struct OpenedImage {
  std::shared_ptr<Vhdx::MemoryCoreFile> core;
  std::shared_ptr<Vhdx::DiskFile> disk;
};
OpenedImage OpenImage(std::vector<uint8_t> bytes, bool writable);
// Sets an item straight into the metadata table of an engine-made image,
// past every filter.
void SetRawMetadata(std::vector<uint8_t>& bytes, const Vhdx::MetadataDescriptor& descriptor,
                    const std::vector<uint8_t>& value);

// Recomputes the CRC-32C stored at checksumOffset over [start, start + size).
void FixChecksum(std::vector<uint8_t>& bytes, size_t start, size_t size, size_t checksumOffset);
// Fixes both header copies and both region table copies.
void FixHeaderChecksums(std::vector<uint8_t>& bytes);
void FixRegionTableChecksums(std::vector<uint8_t>& bytes);

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void Put64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value);
void PutGuid(std::vector<uint8_t>& bytes, size_t offset, const char* text);

// The message of an error's first record, with its arguments, as UTF-8.
std::string MessageOf(const Common::Error& error);
// Code and message in one text ("0x3C0010 Failed to ..."), to check both at once.
std::string CodeAndMessage(const Common::Error& error);

// CodeAndMessage of the error f throws.
template <class F>
std::string Failure(F&& f) {
  return CodeAndMessage(Thrown(f));
}

}  // namespace VhdxTest
