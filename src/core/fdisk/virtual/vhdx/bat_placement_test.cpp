#include "core/fdisk/virtual/vhdx/bat_placement.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/region_table.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::ThrownCode;
using Vhd::DiskArea;
using Vhd::Testing::VectorCollector;
using VhdxTest::Failure;

constexpr uint64_t kMB = 1 << 20;

// A table with ratio 2 and 1 MB blocks at 3 MB in a 16 MB file: entries
// 0, 1 (payload), 2 (bitmap of chunk 0), 3, 4 (payload), 5 (bitmap).
struct Table {
  static uint64_t Entry(uint32_t state, uint64_t mb) { return (mb << 20) | state; }
  std::vector<uint64_t> words = {Entry(6, 6), Entry(7, 4), Entry(6, 5), Entry(2, 3), 0, 0};
  uint64_t fileSize = 16 * kMB;
  std::vector<DiskArea> reserved = {{0, kMB}, {3 * kMB, kMB}};

  uint64_t virtualSize = 4 * kMB;
  uint64_t blockSize = kMB;
  uint32_t entryCount = 6;

  PlacementLayout Layout(bool writable) const {
    return {entryCount, 2, blockSize, virtualSize, 3 * kMB, kMB, reserved, writable};
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> bytes(std::max<uint64_t>(fileSize, 3 * kMB + words.size() * 8));
    std::memcpy(bytes.data() + 3 * kMB, words.data(), words.size() * 8);
    bytes.resize(fileSize);
    return bytes;
  }
  std::shared_ptr<BlockPlacement> Build(bool writable) const {
    VhdxTest::MemoryFile memory(Bytes());
    return BlockPlacement::Build(*memory.file, Layout(writable));
  }
};

std::vector<uint64_t> Offsets(const std::vector<PlacedBlock>& blocks) {
  std::vector<uint64_t> offsets;
  for (const PlacedBlock& block : blocks) offsets.push_back(block.fileOffset / kMB);
  return offsets;
}

TEST(BlockPlacementTest, BlocksAreFoundInFileOrderWhateverTheTableOrder) {
  // Blocks out of table order come back in file order whatever the file size.
  for (uint64_t fileSize : {16 * kMB, 64 * kMB}) {
    Table table;
    table.fileSize = fileSize;
    auto placement = table.Build(true);
    VectorCollector<PlacedBlock> found;
    EXPECT_TRUE(placement->Find({4 * kMB + 10, 2 * kMB}, found));
    EXPECT_EQ(Offsets(found.values), (std::vector<uint64_t>{4, 5, 6}));
    EXPECT_EQ(found.values[0].batIndex, 1u);
    EXPECT_TRUE(found.values[1].bitmap);
  }
  auto placement = Table().Build(true);
  EXPECT_EQ(placement->Count(), 3u);  // state 2 holds no block
  EXPECT_EQ(placement->End(), 7 * kMB);
  VectorCollector<PlacedBlock> first(1);
  EXPECT_FALSE(placement->Find({0, 100 * kMB}, first));
  VectorCollector<PlacedBlock> touching;
  placement->Find({7 * kMB, kMB}, touching);  // block 0 ends where this starts
  EXPECT_TRUE(touching.values.empty());

  VectorCollector<DataBlockInfo> payload;
  DataBlockInfoMap(*placement, 2, 8).Find({4 * kMB, 3 * kMB}, payload);
  ASSERT_EQ(payload.values.size(), 2u);  // the bitmap block is left out
  EXPECT_EQ(payload.values[0].firstSector, 8u);
  EXPECT_EQ(payload.values[1].fileOffset, 6 * kMB);
}

TEST(BlockPlacementTest, OverlapsWithBlocksAndStructuresAreRefused) {
  Table table;
  table.words[2] = Table::Entry(6, 4);  // bitmap on top of block 1
  EXPECT_EQ(Failure([&] { table.Build(false); }),
            "0x3C0044 BAT contains a data block that intersects with other data blocks. The block offset is 4194304.");
  // Blocks of 2 MB that overlap only in part, found by the map of a small
  // file and by sorting in a large one, in either table order.
  for (uint64_t fileSize : {16 * kMB, 64 * kMB}) {
    for (uint64_t later : {5, 6}) {
      table = Table();
      table.fileSize = fileSize;
      table.blockSize = 2 * kMB;
      table.words = {Table::Entry(6, 11 - later), Table::Entry(6, 9), 0, Table::Entry(6, later), 0, 0};
      EXPECT_EQ(ThrownCode([&] { table.Build(false); }), Code::kIntersectingDataBlock) << fileSize << " " << later;
      table.words[3] = Table::Entry(6, 11);  // touching is no overlap
      EXPECT_EQ(table.Build(false)->Count(), 3u) << fileSize << " " << later;
    }
  }
  table = Table();
  table.words[0] = Table::Entry(7, 3);  // payload inside the table region
  EXPECT_EQ(ThrownCode([&] { table.Build(false); }), Code::kIntersectingDataBlock);
  table = Table();
  table.reserved.push_back({3 * kMB + 512, 4096});  // a region inside another
  EXPECT_EQ(ThrownCode([&] { table.Build(false); }), Code::kIntersectingDataBlock);
  table = Table();
  table.reserved.push_back({kMaxPlacementOffset, kMB});
  EXPECT_EQ(ThrownCode([&] { table.Build(false); }), Code::kAreaBeyondLimit);
}

TEST(BlockPlacementTest, BlocksPastTheEndRefuseWritingButStayReadable) {
  Table table;
  table.words[4] = Table::Entry(6, 20);  // wholly past the 16 MB file
  EXPECT_EQ(Failure([&] { table.Build(true); }),
            "0x3C0062 BAT entry 4 places a block of 1048576 bytes at file offset 20971520, past the end of the file "
            "(16777216 bytes). The file is truncated and cannot be opened for writing.");
  auto readOnly = table.Build(false);
  EXPECT_EQ(readOnly->PastEnd(), (std::vector<uint32_t>{4}));
  EXPECT_EQ(readOnly->Count(), 3u);
  // One that starts inside and ends outside still holds data to read.
  table.words[4] = Table::Entry(6, 15);
  table.fileSize = 16 * kMB - 4096;
  EXPECT_EQ(ThrownCode([&] { table.Build(true); }), Code::kBlockBeyondFileEnd);
  readOnly = table.Build(false);
  EXPECT_EQ(readOnly->PastEndCount(), 1u);
  EXPECT_EQ(readOnly->Count(), 4u);
  // Unless only the part beyond the disk's last byte is missing: a fixed
  // file sized to a disk of 3.5 blocks is whole.
  table.virtualSize = 3 * kMB + kMB / 2;
  table.fileSize = 15 * kMB + kMB / 2;
  EXPECT_EQ(table.Build(true)->PastEndCount(), 0u);
  table.fileSize -= 512;
  EXPECT_EQ(ThrownCode([&] { table.Build(true); }), Code::kBlockBeyondFileEnd);
  // Structures past the end count for the end as well.
  table = Table();
  table.reserved.push_back({30 * kMB, 2 * kMB});
  EXPECT_EQ(table.Build(true)->End(), 32 * kMB);
}

TEST(BlockPlacementTest, TheBitmapOfALastChunkThatIsNotFullCounts) {
  // Three blocks: chunk 1 holds block 2 alone, and its bitmap entry (5) lies
  // past the four entries the disk size asks for.
  Table table;
  table.virtualSize = 3 * kMB;
  table.entryCount = 4;
  table.words = {Table::Entry(6, 6), 0, 0, Table::Entry(7, 4), Table::Entry(6, 5), Table::Entry(6, 8)};
  auto placement = table.Build(true);
  VectorCollector<PlacedBlock> found;
  placement->Find({0, 100 * kMB}, found);
  EXPECT_EQ(Offsets(found.values), (std::vector<uint64_t>{4, 6, 8}));  // entry 4 is no block of the disk
  EXPECT_TRUE(found.values[2].bitmap);
  EXPECT_EQ(found.values[2].batIndex, 5u);
  EXPECT_EQ(placement->End(), 9 * kMB);
  table.words[5] = Table::Entry(6, 6);
  EXPECT_EQ(ThrownCode([&] { table.Build(false); }), Code::kIntersectingDataBlock);
  table.words[5] = Table::Entry(6, 16);
  EXPECT_NE(Failure([&] { table.Build(true); }).find("BAT entry 5 "), std::string::npos);
}

TEST(BlockPlacementTest, UpdateAddsOnlyBlocksPlacedAtTheEnd) {
  Table table;
  auto placement = table.Build(true);
  BatArea area{0, 2, table.words};
  area.entries[3] = Table::Entry(6, 7);  // a new block where the end was
  area.entries[5] = Table::Entry(6, 8);  // and its chunk's new bitmap
  area.entries[1] = Table::Entry(6, 4);  // an old block, now fully present
  placement->Update(area);
  EXPECT_EQ(placement->Count(), 5u);
  EXPECT_EQ(placement->End(), 9 * kMB);
  VectorCollector<PlacedBlock> found;
  placement->Find({0, 100 * kMB}, found);
  EXPECT_EQ(Offsets(found.values), (std::vector<uint64_t>{4, 5, 6, 7, 8}));
}

TEST(BlockPlacementTest, OnlyTheTableInsideTheFileIsRead) {
  Table table;
  table.fileSize = 3 * kMB + 16;  // two entries of the table are in the file
  VhdxTest::MemoryFile memory(table.Bytes());
  auto counting = std::make_shared<VhdxTest::CountingFile>(memory.file);
  PlacementLayout layout = table.Layout(false);
  layout.entryCount = 1000;
  auto placement = BlockPlacement::Build(*counting, layout);
  EXPECT_EQ(counting->readBytes, 16u);
  EXPECT_EQ(placement->PastEndCount(), 2u);
}

TEST(ZeroExtendedFileTest, ReadsPastTheEndAreZeros) {
  VhdxTest::MemoryFile memory(std::vector<uint8_t>(10, 0xAB));
  ZeroExtendedFile file(memory.file);
  std::vector<uint8_t> buffer(16, 0xFF);
  file.Read(4, buffer.size(), buffer.data());
  EXPECT_EQ(buffer, (std::vector<uint8_t>{0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  std::fill(buffer.begin(), buffer.end(), 0xFF);
  file.Read(100, buffer.size(), buffer.data());
  EXPECT_EQ(buffer, std::vector<uint8_t>(16, 0));
}

// --- The placement of an opened disk file ---

constexpr uint64_t kSectorsPerBlock = (4 * kMB) / 512;

std::vector<uint8_t> ReadBlock(DiskFile& disk, uint64_t block) {
  std::vector<uint8_t> buffer(4 * kMB, 0xFF);
  auto needed = Vhd::CreateBitmap(kSectorsPerBlock, true);
  disk.ReadSectors(block * kSectorsPerBlock, *needed, buffer.data());
  return buffer;
}

TEST(DiskPlacementTest, TruncatedCopyRefusesWritingAndReadsWhatIsThere) {
  // A 100 MiB disk in a 4 MiB file whose BAT entry 7 points 1 MiB past the end.
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  ASSERT_EQ(bytes.size(), 4 * kMB);
  VhdxTest::Put64(bytes, 3 * kMB + 7 * 8, (5 * kMB) | 6);
  const std::vector<uint8_t> before = bytes;
  EXPECT_EQ(ThrownCode([&] { VhdxTest::OpenImage(bytes, true); }), Code::kBlockBeyondFileEnd);
  EXPECT_NE(VhdxTest::MessageOf(HvTest::Thrown([&] { VhdxTest::OpenImage(bytes, true); })).find("BAT entry 7 "),
            std::string::npos);
  auto readOnly = VhdxTest::OpenImage(bytes, false);
  EXPECT_EQ(ReadBlock(*readOnly.disk, 7), std::vector<uint8_t>(4 * kMB, 0));
  EXPECT_EQ(readOnly.core->Bytes(), before);
  // Part of the block is there: it is read, the rest is zeros.
  bytes.resize(6 * kMB, 0xAB);
  auto partial = ReadBlock(*VhdxTest::OpenImage(bytes, false).disk, 7);
  EXPECT_EQ(partial[kMB - 1], 0xAB);
  EXPECT_EQ(partial[kMB], 0);
}

TEST(DiskPlacementTest, NewSpaceGoesAfterStructuresPastTheEnd) {
  // A 4 MiB file whose log area (12 MiB) and an unknown region (8 MiB) lie
  // past its end: new blocks, bitmaps and a grown metadata region go after both.
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  {
    VhdxTest::MemoryFile memory(std::move(bytes));
    HeaderInfo header = HeaderInfo::Read(*memory.file);
    header.logOffset = 12 * kMB;
    header.Write(*memory.file);
    RegionTable table = RegionTable::Read(*memory.file);
    table.entries.push_back({*Common::ParseGuid("11111111-2222-3333-4444-555555555555"), 8 * kMB, 2 * kMB, 0});
    table.Write(*memory.file);
    bytes = std::move(memory.Bytes());
  }
  auto opened = VhdxTest::OpenImage(bytes, true);
  std::vector<uint8_t> sector(512, 0x5A);
  opened.disk->WriteSectors(0, 1, sector.data());
  opened.disk->WriteSectors(kSectorsPerBlock, 1, sector.data());
  EXPECT_EQ(VhdxTest::ImageEntry(opened.core->Bytes(), 0), (13 * kMB) | 6);
  EXPECT_EQ(VhdxTest::ImageEntry(opened.core->Bytes(), 1), (17 * kMB) | 6);
  auto provider = MakeSingleItemProvider({*Common::ParseGuid("66666666-2222-3333-4444-555555555555"), 1},
                                         std::vector<uint8_t>(1000 * 1024, 1));
  opened.disk->SetMetadata(*provider);
  EXPECT_GE(opened.disk->GetParts().metadataRegion.fileOffset, 21 * kMB);
  // The result opens for writing again: nothing lies on anything else.
  auto again = VhdxTest::OpenImage(opened.core->Bytes(), true);
  EXPECT_EQ(ReadBlock(*again.disk, 1)[0], 0x5A);
}

// Counts what passes through the host file.
class CountingCoreFile final : public MemoryCoreFile {
 public:
  using MemoryCoreFile::MemoryCoreFile;
  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
    ++reads;
    bytes += size;
    if (offset < 3 * kMB + 128 * 1024 && offset + size > 3 * kMB) tableBytes += size;
    return MemoryCoreFile::ReadAt(offset, buffer, size);
  }
  uint64_t reads = 0, bytes = 0, tableBytes = 0;  // table: the BAT of a 64 GiB image
};

TEST(DiskPlacementTest, OpeningReadsOnlyWhatItUsesAndTrackingReusesThePlacement) {
  // 64 GiB: a 128 KB table. Three blocks with data, and a 900 KB item no
  // consumer wants.
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(64ull << 30);
  VhdxTest::SetRawMetadata(bytes, {*Common::ParseGuid("77777777-2222-3333-4444-555555555555"), 0},
                           std::vector<uint8_t>(900 * 1024, 7));
  {
    auto opened = VhdxTest::OpenImage(std::move(bytes), true);
    std::vector<uint8_t> sector(512, 1);
    for (uint64_t block : {0, 5000, 9000}) opened.disk->WriteSectors(block * kSectorsPerBlock, 1, sector.data());
    bytes = opened.core->Bytes();
  }
  auto core = std::make_shared<CountingCoreFile>(bytes);
  auto disk = OpenDiskFileReadOnly(core, MakePage83MetadataConsumer());
  // Headers, region table, metadata table and the five small items, the table.
  EXPECT_LT(core->bytes, 400u * 1024) << core->bytes;
  EXPECT_LT(core->reads, 40u);

  const uint64_t block5000 = VhdxTest::ImageEntry(bytes, 5000 + 5000 / 1024) & ~uint64_t{0xFFFFF};
  for (int round = 0; round < 2; ++round) {
    const uint64_t before = core->bytes, tableBefore = core->tableBytes;
    const uint64_t changed = block5000 + 512 * 3;
    VhdxTest::ListedChanges changes({{changed, changed + 1}});
    VectorCollector<DiskArea> sectors;
    disk->CollectChangedAreas(changes, sectors);
    ASSERT_EQ(sectors.values.size(), 1u);
    EXPECT_EQ(sectors.values[0], (DiskArea{5000 * kSectorsPerBlock + 3, 1}));
    EXPECT_EQ(core->tableBytes, tableBefore);  // no table walk per query
    // The first query reads where the system metadata lies (the metadata
    // table), later ones nothing at all.
    EXPECT_LE(core->bytes - before, round ? 0u : 4096u);
  }
}

TEST(DiskPlacementTest, BitmapBlocksWrittenSinceOpeningAreTracked) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(8 * 4 * kMB);
  VhdxTest::MakeDifferencing(bytes, Common::GenerateGuid(), {{u"relative_path", u"parent.vhdx"}});
  auto opened = VhdxTest::OpenImage(std::move(bytes), true);
  std::vector<uint8_t> sector(512, 1);
  opened.disk->WriteSectors(kSectorsPerBlock + 20, 1, sector.data());  // block 1 and the chunk's new bitmap
  // The bitmap entry of the only chunk lies past the disk's eight block entries.
  const uint64_t bitmap = VhdxTest::ImageEntry(opened.core->Bytes(), VhdxTest::kImageBitmapEntry) & ~uint64_t{0xFFFFF};
  ASSERT_NE(bitmap, 0u);
  // Byte 514 of the bitmap holds the bits of block 1's sectors 16 to 23.
  const uint64_t changed = bitmap + kSectorsPerBlock / 8 + 2;
  VhdxTest::ListedChanges changes({{changed, changed + 1}});
  VectorCollector<DiskArea> sectors;
  opened.disk->CollectChangedAreas(changes, sectors);
  EXPECT_EQ(sectors.values, (std::vector<DiskArea>{{kSectorsPerBlock + 16, 8}}));
}

}  // namespace
}  // namespace Vhdx
