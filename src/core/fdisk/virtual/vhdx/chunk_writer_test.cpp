#include "core/fdisk/virtual/vhdx/chunk_writer.h"

#include <gtest/gtest.h>

#include <memory>
#include <typeinfo>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace {

using namespace Vhdx;

constexpr uint32_t kBlockSize = 1 << 20;
constexpr uint32_t kSectorsPerBlock = kBlockSize / 512;

// One chunk holding one entry of every state, 0 to 7; the present ones
// point at 1 MB.
struct Chunk {
  uint64_t entries[9] = {};  // entries[8]: the chunk's bitmap entry
  VhdxTest::MemoryFile memory;
  Chunk() {
    for (uint64_t state = 0; state < 8; ++state) entries[state] = state | (uint64_t{1} << 20);
    entries[8] = 0;
  }
};

// A chunk writer of each kind over its own chunk.
class ChunkWriters : public ::testing::Test {
 protected:
  Chunk plain;
  NonDifferencingDiskChunkWriter fixed{plain.entries, kSectorsPerBlock, *plain.memory.file, kBlockSize};
  Chunk child;
  DifferencingDiskChunkWriter differencing{child.entries, kSectorsPerBlock, *child.memory.file, kBlockSize,
                                           std::make_unique<NewBitmapStore>(*child.memory.file, child.entries[8])};
  ChunkWriter* both[2] = {&fixed, &differencing};
};

// The writer each state gets, by kind of file: what both kinds share must
// not depend on which kind asks.
TEST_F(ChunkWriters, EachBlockStateGetsItsWriterInBothKindsOfFile) {
  for (uint32_t state : {kBlockNotPresent, kBlockUndefined, kBlockZero, kBlockUnmapped}) {
    SCOPED_TRACE(state);
    auto writer = fixed.CreateBlockWriter(state);
    EXPECT_EQ(typeid(*writer), typeid(NonDifferencingDiskAllocatingBlockWriter));
    writer = differencing.CreateBlockWriter(state);
    EXPECT_EQ(typeid(*writer), typeid(DifferencingDiskAllocatingBlockWriter));
  }
  for (ChunkWriter* chunk : both) {
    auto writer = chunk->CreateBlockWriter(kBlockFullyPresent);
    EXPECT_EQ(typeid(*writer), typeid(FullyPresentBlockWriter));
  }
  auto partial = differencing.CreateBlockWriter(kBlockPartiallyPresent);
  EXPECT_EQ(typeid(*partial), typeid(BitmappedBlockWriter));
}

// Refusals carry the code, the function and the file that raises them.
TEST_F(ChunkWriters, UnusableStatesAreRefusedWithTheirCodes) {
  const Common::Error partial = VhdxTest::Thrown([&] { fixed.CreateBlockWriter(kBlockPartiallyPresent); });
  EXPECT_EQ(partial.Code(), Code::kPartiallyPresentInNonDifferencing);
  EXPECT_STREQ(partial.Function(), "CreateBlockWriter");
  for (ChunkWriter* chunk : both) {
    for (uint32_t state : {4u, 5u}) {
      const Common::Error unknown = VhdxTest::Thrown([&] { chunk->CreateBlockWriter(state); });
      EXPECT_EQ(unknown.Code(), Code::kUnknownBlockState) << state;
      EXPECT_STREQ(unknown.Function(), "CreateBlockWriter");
      EXPECT_STREQ(unknown.Source(), "core/fdisk/virtual/vhdx/block_reader");
    }
  }
  EXPECT_FALSE(fixed.Modified() || differencing.Modified());
}

}  // namespace
