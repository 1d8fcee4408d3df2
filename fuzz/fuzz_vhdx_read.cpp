// Opens damaged VHDX files and reads and writes sectors of them. An input is
// a recipe rather than a file, so that small inputs reach deep: a new file
// laid out by the engine, byte patches into its structures (optionally with
// the checksums repaired so that the patch gets past them), then read and
// write requests.
//
//   byte 0      bit 0 fixed disk, bit 1 repair checksums, bit 2 open writable,
//               bit 3 4096-byte logical sectors
//   byte 1      virtual size, one of eight (4 GB reaches a second chunk)
//   patches     area (u8), offset (u16 LE), length (u8), bytes; area 0xFF ends
//   requests    kind (u8: bit 0 write), first sector (u32 LE), count (u8)
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"

namespace {

// Where patches land: headers, region tables, metadata table and items,
// the BAT, the first payload megabyte.
constexpr uint64_t kAreas[] = {0x10000, 0x20000, 0x30000, 0x40000, 0x200000, 0x210000, 0x300000, 0x400000};
// Room for growth by writes; more fails as a full disk.
constexpr uint64_t kCapacity = 96ull << 20;
constexpr uint64_t kSizes[8] = {4ull << 30, 1 << 20,           3 << 20,    16 << 20,
                                64 << 20,   (100 << 20) + 512, 1ull << 30, 8 << 20};

// New files laid out by the engine, made once per size and kind.
const std::vector<uint8_t>& Template(uint64_t virtualSize, uint32_t sectorSize, bool fixed) {
  static std::map<std::tuple<uint64_t, uint32_t, bool>, std::vector<uint8_t>> templates;
  auto& image = templates[{virtualSize, sectorSize, fixed}];
  if (image.empty()) {
    auto core = std::make_shared<Vhdx::MemoryCoreFile>();
    Vhdx::WriteableFile file(core);
    Vhdx::WriteNewDiskFile(file, {virtualSize, sectorSize, fixed});
    image = std::move(core->Bytes());
  }
  return image;
}

class Accept final : public Vhdx::SelectiveMetadataConsumer {
 public:
  bool IsSupported(const Vhdx::MetadataDescriptor&) const override { return true; }
  void Consume(const Vhdx::MetadataDescriptor&, const uint8_t*, uint32_t) override {}
};

void RepairChecksums(std::vector<uint8_t>& bytes) {
  for (uint64_t offset : {0x10000ull, 0x20000ull}) {
    Vhdx::StoreLe32(bytes.data() + offset + 4, 0);
    Vhdx::StoreLe32(bytes.data() + offset + 4, Vhdx::Crc32c(0, bytes.data() + offset, 4096));
  }
  for (uint64_t offset : {0x30000ull, 0x40000ull}) {
    Vhdx::StoreLe32(bytes.data() + offset + 4, 0);
    Vhdx::StoreLe32(bytes.data() + offset + 4, Vhdx::Crc32c(0, bytes.data() + offset, 65536));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const uint32_t sectorSize = (flags & 8) ? 4096 : 512;
  // Whole logical sectors.
  const uint64_t virtualSize = kSizes[data[1] % 8] / sectorSize * sectorSize;
  size_t pos = 2;

  std::vector<uint8_t> image;
  try {
    image = Template(virtualSize, sectorSize, (flags & 1) != 0 && virtualSize <= (64 << 20));
  } catch (const Common::Error&) {
    return 0;
  }

  while (pos + 4 <= size && data[pos] != 0xFF) {
    const uint64_t base = kAreas[data[pos] % (sizeof kAreas / sizeof kAreas[0])];
    const uint64_t offset = base + (data[pos + 1] | (data[pos + 2] << 8));
    const size_t length = data[pos + 3];
    pos += 4;
    for (size_t i = 0; i < length && pos < size; ++i, ++pos) {
      if (offset + i < image.size()) image[offset + i] = data[pos];
    }
  }
  ++pos;
  if (flags & 2) RepairChecksums(image);

  try {
    auto core = std::make_shared<Vhdx::MemoryCoreFile>(std::move(image), kCapacity);
    auto disk = (flags & 4) ? Vhdx::OpenDiskFileWritable(core, std::make_shared<Accept>())
                            : Vhdx::OpenDiskFileReadOnly(core, std::make_shared<Accept>());
    const Vhdx::DiskGeometry geometry = disk->GetGeometry();
    if (geometry.logicalSectorSize == 0) return 0;
    const uint64_t sectors = geometry.virtualSize / geometry.logicalSectorSize;
    std::vector<uint8_t> buffer;
    for (int requests = 0; pos + 6 <= size && requests < 16; ++requests, pos += 6) {
      const bool write = data[pos] & 1;
      uint64_t first = Vhdx::LoadLe32(data + pos + 1);
      // Requests near the end of the disk and right across it.
      if (data[pos] & 2) first = sectors > first % 64 ? sectors - first % 64 : 0;
      const uint64_t count = data[pos + 5];
      buffer.assign(count * geometry.logicalSectorSize, static_cast<uint8_t>(first));
      try {
        if (write) {
          disk->WriteSectors(first, count, buffer.data());
        } else {
          auto needed = Vhd::CreateBitmap(count, true);
          disk->ReadSectors(first, *needed, buffer.data());
        }
      } catch (const Common::Error&) {
      }
    }
  } catch (const Common::Error&) {
  }
  return 0;
}
