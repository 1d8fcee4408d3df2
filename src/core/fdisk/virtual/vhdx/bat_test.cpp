#include "core/fdisk/virtual/vhdx/bat.h"

#include <gtest/gtest.h>

#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhdx/bat_collector.h"
#include "core/fdisk/virtual/vhdx/enumerator.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace Vhdx {
namespace {

using Vhd::DiskArea;
using Vhd::Testing::Areas;
using Vhd::Testing::ErrorCodeOf;
using Vhd::Testing::VectorCollector;

TEST(BatEntryTest, FieldsKeepReservedBits) {
  BatEntry entry{0x0000000000600006};
  EXPECT_EQ(entry.State(), 6u);
  EXPECT_EQ(entry.OffsetMb(), 6u);
  EXPECT_EQ(entry.FileOffset(), 6ull << 20);
  entry.SetState(7);
  EXPECT_EQ(entry.value, 0x0000000000600007u);
  BatEntry reserved{0x00000000006F0007};
  reserved.SetOffsetMb(1);
  EXPECT_EQ(reserved.value, 0x00000000001F0007u);
  EXPECT_EQ(BatEntry{}.value, 0u);
}

TEST(BatIndexTest, BitmapEntriesAndBlockNumbers) {
  ParametrizedBatIndexTraits traits(128);
  EXPECT_FALSE(traits.IsBitmapEntry(127));
  EXPECT_TRUE(traits.IsBitmapEntry(128));
  EXPECT_FALSE(traits.IsBitmapEntry(129));
  EXPECT_EQ(traits.PayloadBlockNumber(129), 128u);
  EXPECT_TRUE(traits.IsBitmapEntry(257));
  EXPECT_EQ(traits.PayloadBlockNumber(258), 256u);
  ParametrizedBatIndexTraits large(0xFFFFFFFF);  // ratio + 1 must not wrap
  EXPECT_FALSE(large.IsBitmapEntry(0xFFFFFFFE));
  EXPECT_TRUE(large.IsBitmapEntry(0xFFFFFFFF));
}

TEST(ChunkTraitsTest, RatioAndSectorArithmetic) {
  EXPECT_EQ(ChunkTraits(512, 32 << 20).ChunkRatio(), 128u);
  EXPECT_EQ(ChunkTraits(4096, 1 << 20).ChunkRatio(), 32768u);
  ChunkTraits traits(512, 1 << 20);  // ratio 4096, 2048 sectors a block
  EXPECT_EQ(traits.SectorsPerBlock(), 2048u);
  EXPECT_EQ(traits.ChunkOfBlock(4097), 1u);
  EXPECT_EQ(traits.BlockInChunk(4097), (DiskArea{2048, 2048}));
  auto span = ChunkTraits::ChunksOf(0x7FFFFF, 1);
  EXPECT_EQ(span.first, 0u);
  EXPECT_EQ(span.count, 2u);
  EXPECT_EQ(ChunkTraits::ChunksOf(0, 0).count, 0u);
  EXPECT_EQ(ChunkTraits::ChunksOf(5, 10).count, 1u);
  EXPECT_EQ(ChunkTraits::SectorsInChunk(0x7FFFF0, 100), 16u);
  EXPECT_EQ(ChunkTraits::OffsetInChunk(0x800005), 5u);
}

TEST(ChunkTraitsTest, GeometryOutsideTheFormatIsRejected) {
  EXPECT_EQ(ErrorCodeOf([] { CheckDiskGeometry(512, 32 << 20); }), 0u);
  EXPECT_EQ(ErrorCodeOf([] { CheckDiskGeometry(4096, 256 << 20); }), 0u);
  for (auto [sector, block] : {std::pair<uint32_t, uint32_t>{0, 1 << 20},
                               {512, 0},
                               {1024, 1 << 20},
                               {512, (1 << 20) + 512},
                               {512, 512u << 20},
                               {512, 1 << 19}}) {
    EXPECT_EQ(ErrorCodeOf([=] { CheckDiskGeometry(sector, block); }), 0x3C0053u) << sector << " " << block;
  }
}

TEST(BatSizeTest, EntryCount) {
  const uint32_t block = 1 << 20, ratio = 4096;  // 512-byte sectors
  EXPECT_EQ(BatEntryCount(0, 512, block), 0u);
  EXPECT_EQ(BatEntryCount(1, 512, block), 1u);
  EXPECT_EQ(BatEntryCount(uint64_t{ratio} * block, 512, block), ratio);
  EXPECT_EQ(BatEntryCount(uint64_t{ratio + 1} * block, 512, block), ratio + 2);
  // 4096-byte sectors and 4 MB blocks: ratio 8192.
  EXPECT_EQ(BatEntryCount(8193ull * (4 << 20), 4096, 4 << 20), 8194u);
}

TEST(BatRegionMapTest, AreasSelectWholeEntriesWithinTheLimit) {
  LimitedBatRegionAreaToIndexMap map(10);
  EXPECT_EQ(map.Map({8, 9}), (std::pair<uint32_t, uint32_t>{1, 3}));
  EXPECT_EQ(map.Map({0, 0}), (std::pair<uint32_t, uint32_t>{0, 0}));
  EXPECT_EQ(map.Map({7, 1}), (std::pair<uint32_t, uint32_t>{0, 1}));
  EXPECT_EQ(map.Map({800, 16}), (std::pair<uint32_t, uint32_t>{10, 10}));
  EXPECT_EQ(map.Map({72, 100}), (std::pair<uint32_t, uint32_t>{9, 10}));
}

// A table with ratio 2: chunks of two payload entries and one bitmap entry.
struct SmallTable {
  static constexpr uint32_t kRatio = 2;
  static constexpr uint32_t kSectorsPerBlock = 8;
  std::vector<uint64_t> words;
  VectorBatEntryArray array{words};
  ParametrizedBatIndexTraits traits{kRatio};
  static uint64_t Entry(uint32_t state, uint64_t mb) { return (mb << 20) | state; }
};

TEST(BatCollectorTest, DispatchByStateAndRegionAreas) {
  SmallTable table;
  // block0: 6, block1: 7, bitmap: 6, block2: 0, block3: 2, bitmap: 0, block4: 1
  table.words = {SmallTable::Entry(6, 4), SmallTable::Entry(7, 5), SmallTable::Entry(6, 9),
                 SmallTable::Entry(0, 0), SmallTable::Entry(2, 0), 0,
                 SmallTable::Entry(1, 0)};
  VectorCollector<DiskArea> whole, partial;
  BlockDiskAreaEnumeratorArray blocks(SmallTable::kSectorsPerBlock);
  BatEntryToDiskAreaCollector wholeBlocks(table.traits, blocks, whole);
  BatEntryToDiskAreaCollector partialBlocks(table.traits, blocks, partial);
  DispatchingBatEntryCollector dispatch(table.traits, wholeBlocks, partialBlocks);
  Vhd::ArrayEntryEnumerator<BatEntry> entries(table.array);
  EXPECT_TRUE(entries.Enumerate(0, 7, dispatch));
  EXPECT_EQ(whole.values, Areas({{0, 8}, {24, 32}, {32, 40}}));
  EXPECT_EQ(partial.values, Areas({{8, 16}}));

  // Region bytes 20..39 touch entries 2..4: the bitmap entry, block 2 (state 0)
  // and block 3 (state 2); the empty-entry rule reports blocks 2 and 3.
  VectorCollector<DiskArea> emptied;
  EmptyBatEntryToDiskAreaCollector empty(table.traits, SmallTable::kSectorsPerBlock, emptied);
  LimitedBatRegionAreaToIndexMap map(7);
  BatRegionAreaCollector region(map, entries, empty);
  EXPECT_TRUE(region.Collect({20, 20}));
  EXPECT_EQ(emptied.values, Areas({{16, 24}, {24, 32}}));
  EXPECT_EQ(ErrorCodeOf([&] { table.array.Get(7); }), 0x3C0055u);
}

}  // namespace
}  // namespace Vhdx
