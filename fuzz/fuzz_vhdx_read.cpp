// Opens damaged VHDX files and reads and writes sectors of them. An input is
// a recipe rather than a file, so that small inputs reach deep: a new file
// laid out by the engine, byte patches into its structures (optionally with
// the checksums repaired so that the patch gets past them), then read and
// write requests.
//
//   byte 0      bit 0 fixed disk, bit 1 repair checksums, bit 2 open writable,
//               bit 3 4096-byte logical sectors, bit 4 a differencing child
//               of an engine-written parent, read and written as a chain
//   byte 1      virtual size, one of eight (4 GB reaches a second chunk)
//   patches     area (u8), offset (u16 LE), length (u8), bytes; area 0xFF ends
//   requests    kind (u8: bit 0 write), first sector (u32 LE), count (u8)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/hierarchy.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "overlay_core_file.h"

namespace {

// Where patches land: headers, region tables, metadata table and items,
// the BAT, the first payload megabyte, the log.
constexpr uint64_t kAreas[] = {0x10000, 0x20000, 0x30000, 0x40000, 0x200000, 0x210000, 0x300000, 0x400000, 0x100000};
// Room for growth by writes; more fails as a full disk.
constexpr uint64_t kGrowth = 96ull << 20;
constexpr uint64_t kSizes[8] = {4ull << 30, 1 << 20,           3 << 20,    16 << 20,
                                64 << 20,   (100 << 20) + 512, 1ull << 30, 8 << 20};
// Fixed disks hold every block, so only small ones keep the templates small.
constexpr uint64_t kMaxFixedSize = 16 << 20;

// New files laid out by the engine, made once per size and kind and shared
// by every input through an overlay.
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

// A parent with data in its first blocks and near its end, and a child
// template linked to it, made once per size and sector size.
struct Chain {
  std::vector<uint8_t> parent;
  std::vector<uint8_t> child;
};

class Accept final : public Vhdx::SelectiveMetadataConsumer {
 public:
  bool IsSupported(const Vhdx::MetadataDescriptor&) const override { return true; }
  void Consume(const Vhdx::MetadataDescriptor&, const uint8_t*, uint32_t) override {}
};

// Recomputes the checksums of both headers and region tables over what the
// patches left.
void RepairChecksums(Vhdx::CoreFile& file) {
  std::vector<uint8_t> bytes;
  for (const auto& [offset, length] :
       {std::pair{0x10000u, 4096u}, {0x20000u, 4096u}, {0x30000u, 65536u}, {0x40000u, 65536u}}) {
    bytes.assign(length, 0);
    if (file.ReadAt(offset, bytes.data(), length) != length) continue;
    Vhdx::StoreLe32(bytes.data() + 4, 0);
    uint8_t crc[4];
    Vhdx::StoreLe32(crc, Vhdx::Crc32c(0, bytes.data(), length));
    file.WriteAt(offset + 4, crc, sizeof crc);
  }
}

const Chain& ChainTemplate(uint64_t virtualSize, uint32_t sectorSize) {
  static std::map<std::pair<uint64_t, uint32_t>, Chain> chains;
  Chain& chain = chains[{virtualSize, sectorSize}];
  if (chain.parent.empty()) {
    auto core = std::make_shared<Vhdx::MemoryCoreFile>(Template(virtualSize, sectorSize, false));
    {
      auto parent = Vhdx::OpenDiskFileWritable(core, std::make_shared<Accept>());
      const uint64_t sectors = virtualSize / sectorSize;
      std::vector<uint8_t> data(64 * sectorSize);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
      parent->WriteSectors(0, std::min<uint64_t>(64, sectors), data.data());
      if (sectors > 64) parent->WriteSectors(sectors - 64, 64, data.data());
    }
    chain.parent = std::move(core->Bytes());
    chain.child = Template(virtualSize, sectorSize, false);
    VhdxTest::MakeDifferencing(chain.child, VhdxTest::DataWriteGuidOf(chain.parent),
                               {{u"relative_path", u"parent.vhdx"}});
  }
  return chain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const uint32_t sectorSize = (flags & 8) ? 4096 : 512;
  // Whole logical sectors.
  const uint64_t virtualSize = kSizes[data[1] % 8] / sectorSize * sectorSize;
  size_t pos = 2;

  const bool chained = (flags & 16) != 0;
  const std::vector<uint8_t>* image = nullptr;
  const std::vector<uint8_t>* parentImage = nullptr;
  try {
    if (chained) {
      const Chain& chain = ChainTemplate(virtualSize, sectorSize);
      image = &chain.child;
      parentImage = &chain.parent;
    } else {
      image = &Template(virtualSize, sectorSize, (flags & 1) != 0 && virtualSize <= kMaxFixedSize);
    }
  } catch (const Common::Error&) {
    return 0;
  }
  auto core = std::make_shared<Fuzz::OverlayCoreFile>(image->data(), image->size(), image->size() + kGrowth,
                                                      Fuzz::OverlayCoreFile::Growth::kFull);

  while (pos + 4 <= size && data[pos] != 0xFF) {
    const uint64_t base = kAreas[data[pos] % (sizeof kAreas / sizeof kAreas[0])];
    const uint64_t offset = base + (data[pos + 1] | (data[pos + 2] << 8));
    const size_t length = std::min<size_t>(data[pos + 3], size - pos - 4);
    pos += 4;
    // Patches stay inside the template.
    if (offset < image->size()) core->WriteAt(offset, data + pos, std::min<uint64_t>(length, image->size() - offset));
    pos += length;
  }
  ++pos;
  if (flags & 2) RepairChecksums(*core);

  try {
    std::shared_ptr<Vhdx::DiskFile> disk = (flags & 4) ? Vhdx::OpenDiskFileWritable(core, std::make_shared<Accept>())
                                                       : Vhdx::OpenDiskFileReadOnly(core, std::make_shared<Accept>());
    if (chained) {
      auto parentCore = std::make_shared<Fuzz::OverlayCoreFile>(
          parentImage->data(), parentImage->size(), parentImage->size(), Fuzz::OverlayCoreFile::Growth::kFull);
      auto parent = std::make_shared<Vhdx::DiskFileHierarchy>(
          Vhdx::OpenDiskFileReadOnly(parentCore, std::make_shared<Accept>()), u"parent.vhdx", nullptr);
      disk = std::make_shared<Vhdx::DiskFileHierarchy>(disk, u"child.avhdx", parent);
    }
    const Vhdx::DiskGeometry geometry = disk->GetGeometry();
    if (geometry.logicalSectorSize == 0) return 0;
    const uint64_t sectors = geometry.virtualSize / geometry.logicalSectorSize;
    // Kept between inputs: a fresh megabyte per request costs more than the request.
    static std::vector<uint8_t> buffer;
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
