#include "core/fdisk/virtual/vhdx/read_path.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhd/union.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::ThrownCode;
using Vhd::DiskArea;
using Vhd::Testing::Areas;
using Vhd::Testing::VectorCollector;

constexpr uint64_t kBat = 1 << 20;  // BAT region [1 MB, 2 MB); blocks from 2 MB

// A bare data path over memory: no headers, only the BAT region and blocks.
struct Image {
  VhdxTest::MemoryFile memory{std::vector<uint8_t>(2 << 20, 0)};
  std::shared_ptr<VhdxTest::CountingFile> structure = std::make_shared<VhdxTest::CountingFile>(memory.file);
  DataPathLayout layout;
  std::unique_ptr<DataPath> path;

  Image(uint32_t kind, uint64_t virtualSize, uint32_t sectorSize = 512, uint32_t blockSize = 1 << 20) {
    layout = {virtualSize, sectorSize, blockSize, kind, kBat, 1 << 20, false};
  }
  DataPath& Path() {
    if (!path) path = std::make_unique<DataPath>(layout, structure, memory.file);
    return *path;
  }
  std::vector<uint8_t>& Bytes() { return memory.Bytes(); }
  void SetEntry(uint32_t index, uint32_t state, uint64_t mb) {
    VhdxTest::Put64(Bytes(), kBat + index * 8, (mb << 20) | state);
  }
  uint64_t Entry(uint32_t index) { return LoadLe64(Bytes().data() + kBat + index * 8); }
  // A block at mb whose sector s holds the byte tag + s in every position.
  void FillBlock(uint64_t mb, uint8_t tag, uint32_t sectorSize = 512, uint32_t blockSize = 1 << 20) {
    if (Bytes().size() < (mb << 20) + blockSize) Bytes().resize((mb << 20) + blockSize);
    for (uint32_t s = 0; s < blockSize / sectorSize; ++s) {
      std::memset(Bytes().data() + (mb << 20) + s * sectorSize, static_cast<uint8_t>(tag + s), sectorSize);
    }
  }
  std::vector<uint8_t> Read(uint64_t first, uint64_t count, std::shared_ptr<Vhd::DataOwningBitmap>* left = nullptr) {
    std::vector<uint8_t> out(count * layout.logicalSectorSize, 0xEE);
    auto needed = Vhd::CreateBitmap(count, true);
    Path().Read(first, *needed, out.data());
    if (left) *left = needed;
    return out;
  }
};

uint8_t SectorByte(const std::vector<uint8_t>& data, uint64_t sector) { return data[sector * 512]; }

TEST(ReadPathTest, DynamicDiskStatesAndBounds) {
  Image image(kDiskDynamic, 8 << 20);  // 8 blocks of 2048 sectors
  image.FillBlock(2, 10);
  image.SetEntry(0, kBlockFullyPresent, 2);
  image.SetEntry(1, kBlockZero, 0);
  image.SetEntry(2, kBlockNotPresent, 0);
  image.SetEntry(3, 4, 0);
  // A read spanning a present and a zero block.
  auto data = image.Read(2040, 16);
  EXPECT_EQ(SectorByte(data, 0), static_cast<uint8_t>(10 + 2040));
  EXPECT_EQ(SectorByte(data, 7), static_cast<uint8_t>(10 + 2047));
  EXPECT_EQ(SectorByte(data, 8), 0);
  EXPECT_EQ(image.Read(2 * 2048, 1)[0], 0);  // not present in a dynamic disk: zeros
  EXPECT_EQ(ThrownCode([&] { image.Read(3 * 2048, 1); }), Code::kUnknownBlockState);
  image.SetEntry(4, kBlockPartiallyPresent, 2);
  image.path.reset();  // the cached table area predates the change
  EXPECT_EQ(ThrownCode([&] { image.Read(4 * 2048 + 5, 1); }), Code::kPartiallyPresentInNonDifferencing);
  // The last sector is readable; one more fails before anything is read.
  EXPECT_EQ(image.Read(8 * 2048 - 1, 1)[0], 0);
  std::vector<uint8_t> untouched(1024, 0xEE);
  auto needed = Vhd::CreateBitmap(2, true);
  EXPECT_EQ(ThrownCode([&] { image.Path().Read(8 * 2048 - 1, *needed, untouched.data()); }),
            Code::kAccessBeyondAllocation);
  EXPECT_EQ(untouched[0], 0xEE);
  // Zero sectors below the end do nothing.
  auto none = Vhd::CreateBitmap(0, true);
  image.Path().Read(100, *none, nullptr);
}

TEST(ReadPathTest, ConsecutiveRequestsInOneChunkLoadTheTableOnce) {
  Image image(kDiskDynamic, 8 << 20);
  auto counting = std::make_shared<VhdxTest::CountingFile>(image.memory.file);
  DataPath path(image.layout, counting, counting);
  std::vector<uint8_t> out(512);
  for (uint64_t s : {0, 100, 5000}) {
    auto needed = Vhd::CreateBitmap(1, true);
    path.Read(s, *needed, out.data());
  }
  EXPECT_EQ(counting->reads, 1);
}

TEST(ReadPathTest, DifferencingFileLeavesParentSectorsNeeded) {
  Image image(kDiskDifferencing, 4 << 20);
  image.FillBlock(2, 50);
  image.SetEntry(0, kBlockPartiallyPresent, 2);  // odd sectors present
  image.SetEntry(1, kBlockZero, 0);
  image.SetEntry(2, kBlockNotPresent, 0);
  // Bitmap entry of chunk 0 sits at index ratio (4096 for 512-byte sectors, 1 MB blocks).
  image.Bytes().resize(4 << 20);
  for (size_t i = 0; i < 256; ++i) image.Bytes()[(3 << 20) + i] = 0xAA;  // bits 1,3,5,... of sectors 0..2047
  image.SetEntry(4096, kBlockFullyPresent, 3);
  std::shared_ptr<Vhd::DataOwningBitmap> left;
  auto data = image.Read(0, 2048 * 3, &left);
  EXPECT_EQ(SectorByte(data, 1), 51);
  EXPECT_EQ(SectorByte(data, 0), 0xEE);
  EXPECT_TRUE(left->Get(0));
  EXPECT_FALSE(left->Get(1));
  EXPECT_FALSE(left->Get(2048));  // zero block: supplied as zeros
  EXPECT_EQ(SectorByte(data, 2048), 0);
  EXPECT_TRUE(left->Get(2 * 2048));  // not present: for the parent
  EXPECT_EQ(left->FindNext(2048, true), 2u * 2048);
  // A missing bitmap block for a partially present block.
  image.SetEntry(4096, kBlockNotPresent, 0);
  image.path.reset();
  EXPECT_EQ(ThrownCode([&] { image.Read(1, 1); }), Code::kSectorBitmapNotPresent);
}

TEST(WritePathTest, DynamicWriteAllocatesAtTheNextMegabyteAndWritesTheTableOnce) {
  Image image(kDiskDynamic, 8 << 20);
  image.Bytes().resize((2 << 20) + 100);  // the end is not on a 1 MB boundary
  std::vector<uint8_t> sector(512, 0x5A);
  image.Path().Write(2048 + 3, 1, sector.data());
  BatEntry entry{image.Entry(1)};
  EXPECT_EQ(entry.State(), kBlockFullyPresent);
  EXPECT_EQ(entry.FileOffset(), 3u << 20);
  EXPECT_EQ(image.Bytes().size(), 4u << 20);
  ASSERT_EQ(image.structure->writes, 1);
  // Only the entry that changed goes to the table.
  EXPECT_EQ(image.structure->writeLog[0].offset, kBat + 8);
  EXPECT_EQ(image.structure->writeLog[0].size, 8u);
  auto data = image.Read(2048, 8);
  EXPECT_EQ(SectorByte(data, 3), 0x5A);
  EXPECT_EQ(SectorByte(data, 2), 0);
  EXPECT_EQ(SectorByte(data, 4), 0);
  // Writing into a present block changes no entry and writes no table.
  image.Path().Write(2048 + 4, 1, sector.data());
  EXPECT_EQ(image.structure->writes, 1);
  // A zero block gets a new block too; its other sectors stay zeros.
  image.SetEntry(2, kBlockZero, 0);
  image.path.reset();
  image.Path().Write(2 * 2048 + 1, 1, sector.data());
  EXPECT_EQ(BatEntry{image.Entry(2)}.FileOffset(), 4u << 20);
  EXPECT_EQ(SectorByte(image.Read(2 * 2048, 2), 0), 0);
  EXPECT_EQ(ThrownCode([&] { image.Path().Write(8 * 2048, 1, sector.data()); }), Code::kAccessBeyondAllocation);
}

TEST(WritePathTest, DifferencingWritesTrackSectorsInTheBitmap) {
  Image image(kDiskDifferencing, 4 << 20);
  std::vector<uint8_t> data(2048 * 512, 0x33);
  image.Path().Write(5, 1, data.data());
  BatEntry block{image.Entry(0)};
  BatEntry bitmap{image.Entry(4096)};
  EXPECT_EQ(block.State(), kBlockPartiallyPresent);
  EXPECT_EQ(block.FileOffset(), 2u << 20);
  EXPECT_EQ(bitmap.State(), kBlockFullyPresent);
  EXPECT_EQ(bitmap.FileOffset(), 3u << 20);  // behind the new block
  uint64_t setBits = 0;
  for (size_t i = 0; i < (1 << 20); ++i) setBits += __builtin_popcount(image.Bytes()[(3 << 20) + i]);
  EXPECT_EQ(setBits, 1u);
  EXPECT_EQ(image.Bytes()[(3 << 20)], 0x20);
  std::shared_ptr<Vhd::DataOwningBitmap> left;
  auto back = image.Read(4, 3, &left);
  EXPECT_EQ(SectorByte(back, 1), 0x33);
  EXPECT_TRUE(left->Get(0));
  EXPECT_TRUE(left->Get(2));
  // The rest of the block in a second request: now fully present.
  image.Path().Write(0, 5, data.data());
  EXPECT_EQ(BatEntry{image.Entry(0)}.State(), kBlockPartiallyPresent);
  image.Path().Write(6, 2042, data.data());
  EXPECT_EQ(BatEntry{image.Entry(0)}.State(), kBlockFullyPresent);
  // A whole block in one request is fully present at once; the table gets
  // its entry and the chunk's bitmap entry, which lies past it.
  image.structure->writeLog.clear();
  image.Path().Write(2048, 2048, data.data());
  EXPECT_EQ(BatEntry{image.Entry(1)}.State(), kBlockFullyPresent);
  std::vector<std::pair<uint64_t, uint64_t>> table;
  for (const auto& access : image.structure->writeLog)
    if (access.offset >= kBat && access.offset < 2 * kBat) table.emplace_back(access.offset - kBat, access.size);
  EXPECT_EQ(table, (std::vector<std::pair<uint64_t, uint64_t>>{{8, 8}, {4096 * 8, 8}}));
  EXPECT_EQ(BatEntry{image.Entry(4096)}.FileOffset(), 3u << 20);  // the bitmap block stays put
}

TEST(WritePathTest, ChunkCrossingWriteMakesOneTableWrite) {
  // 4096-byte sectors and 1 MB blocks: 32768 blocks (32 GB) a chunk.
  Image image(kDiskDynamic, 34ull << 30, 4096);
  std::vector<uint8_t> data(4 * 4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 4096 + 1);
  const uint64_t boundary = 1ull << 23;
  image.Path().Write(boundary - 2, 4, data.data());
  ASSERT_EQ(image.structure->writes, 1);
  // From the last block of chunk 0 to the first of chunk 1, its bitmap entry between.
  EXPECT_EQ(image.structure->writeLog[0].offset, kBat + 32767 * 8);
  EXPECT_EQ(image.structure->writeLog[0].size, 3 * 8u);
  EXPECT_EQ(BatEntry{image.Entry(32767)}.State(), kBlockFullyPresent);
  EXPECT_EQ(BatEntry{image.Entry(32768)}.State(), kBlockNotPresent);  // chunk 0's bitmap entry
  EXPECT_EQ(BatEntry{image.Entry(32769)}.State(), kBlockFullyPresent);
  image.path.reset();
  auto back = image.Read(boundary - 2, 4);
  for (int s = 0; s < 4; ++s) EXPECT_EQ(back[s * 4096], s + 1);
  // A read of the disk's last sector loads a chunk beyond the table and still works.
  EXPECT_EQ(image.Read((34ull << 30) / 4096 - 1, 1)[0], 0);
}

std::vector<DiskArea> Changes(Image& image, Vhd::ChangedFile& file) {
  Vhd::Union merged;
  image.Path().CollectChangedAreas(file, merged);
  VectorCollector<DiskArea> out;
  merged.Enumerate(out);
  return out.values;
}

TEST(ChangeAreasTest, WholeFileReportsBlocksWithDataOrZeros) {
  Image image(kDiskDynamic, 8 << 20);
  image.SetEntry(0, kBlockFullyPresent, 2);
  image.SetEntry(1, kBlockUndefined, 0);
  image.SetEntry(3, kBlockZero, 0);
  image.SetEntry(5, kBlockUnmapped, 0);
  image.SetEntry(6, kBlockFullyPresent, 3);
  Vhd::FullChangedFile all;
  EXPECT_EQ(Changes(image, all), Areas({{0, 4096}, {6144, 8192}, {10240, 14336}}));
  Image fixed(kDiskFixed, 8 << 20);
  EXPECT_EQ(Changes(fixed, all), Areas({{0, 16384}}));
  // A differencing file reports only the present sectors of partial blocks.
  Image diff(kDiskDifferencing, 4 << 20);
  diff.Bytes().resize(4 << 20);
  diff.SetEntry(0, kBlockPartiallyPresent, 2);
  diff.Bytes()[(3 << 20) + 1] = 0x0F;  // sectors 8..11
  diff.SetEntry(4096, kBlockFullyPresent, 3);
  EXPECT_EQ(Changes(diff, all), Areas({{8, 12}}));
}

TEST(ChangeAreasTest, ChangedBytesMapThroughBlocksAndTableEntries) {
  Image image(kDiskDynamic, 8 << 20);
  image.Bytes().resize(4 << 20);  // the blocks lie in the file
  image.SetEntry(0, kBlockFullyPresent, 2);
  image.SetEntry(1, kBlockFullyPresent, 3);
  image.SetEntry(2, kBlockZero, 0);
  VhdxTest::ListedChanges file({{(2 << 20) + 513, (2 << 20) + 514}}, 4 << 20);  // one byte of sector 1
  EXPECT_EQ(Changes(image, file), Areas({{1, 2}}));
  file.ranges = {{kBat + 16, kBat + 24}};  // entry 2 rewritten to zero
  EXPECT_EQ(Changes(image, file), Areas({{4096, 6144}}));
  file.ranges = {{kBat + 8, kBat + 16}};  // entry 1 rewritten to present: its data tells
  EXPECT_TRUE(Changes(image, file).empty());
  file.ranges = {{(3 << 20) - 512, (3 << 20) + 1}};  // the end of block 0 and the start of block 1
  EXPECT_EQ(Changes(image, file), Areas({{2047, 2049}}));
  file.ranges = {{5 << 20, 6 << 20}};  // outside every block and region
  EXPECT_TRUE(Changes(image, file).empty());
  image.layout.logReplayed = true;
  image.path.reset();
  file.ranges = {{5 << 20, (5 << 20) + 1}};
  EXPECT_EQ(Changes(image, file), Areas({{0, 16384}}));
}

}  // namespace
}  // namespace Vhdx
