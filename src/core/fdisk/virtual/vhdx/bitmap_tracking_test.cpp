#include "core/fdisk/virtual/vhdx/bitmap_tracking.h"

#include <gtest/gtest.h>

#include "core/fdisk/virtual/vhdx/bitmap_array.h"

namespace Vhdx {
namespace {

class CountingObserver final : public Observer {
 public:
  void OnChange() override { ++changes; }
  int changes = 0;
};

TEST(ChangeTrackingBitmapTest, ChangesThroughAnyViewReachTheWholeBitmapsObservers) {
  auto owner = Vhd::CreateBitmap(64, false);
  auto tracked = std::make_shared<ChangeTrackingBitmap>(owner);
  auto observer = std::make_shared<CountingObserver>();
  tracked->AddObserver(observer);
  auto view = tracked->Sub(8, 32);
  auto inner = view->Sub(4, 4);  // bits 12..15 of the owner
  EXPECT_FALSE(inner->Get(0));
  EXPECT_EQ(inner->FindFirst(false), 0u);
  EXPECT_EQ(observer->changes, 0);  // reads do not notify
  inner->Set(1, true);
  EXPECT_EQ(observer->changes, 1);
  EXPECT_TRUE(owner->Get(13));
  // The changed bits are known on the whole bitmap, as one covering range.
  EXPECT_EQ(tracked->DirtyBits(), (Vhd::DiskArea{13, 1}));
  view->SetRange(0, 2, true);
  EXPECT_EQ(tracked->DirtyBits(), (Vhd::DiskArea{8, 6}));
  tracked->ClearDirty();
  EXPECT_EQ(tracked->DirtyBits().length, 0u);
  tracked->SetAll(false);
  EXPECT_EQ(tracked->DirtyBits(), (Vhd::DiskArea{0, 64}));
  EXPECT_EQ(observer->changes, 3);
  EXPECT_EQ(owner->FindFirst(true), 64u);
  // The view keeps working after the caller dropped the whole bitmap.
  tracked.reset();
  inner->Set(0, true);
  EXPECT_EQ(observer->changes, 4);
}

// Arrays of chunk bitmaps: loaded by the bitmap entry of each chunk, the last
// one cached, blocks viewing their part.
class FakeSource final : public BitmapSource {
 public:
  BitmapPtr Load(BatEntry entry) override {
    loads.push_back(entry.value);
    auto bitmap = Vhd::CreateBitmap(kSectorsPerChunk, false);
    bitmap->Set(entry.OffsetMb(), true);
    return bitmap;
  }
  std::vector<uint64_t> loads;
};

TEST(BitmapArrayTest, ChunkAndBlockBitmaps) {
  // 4096-byte sectors, 1 MB blocks: ratio 32768, 256 sectors a block.
  std::vector<uint64_t> words(2 * 32769, 0);
  words[32768] = (300ull << 20) | 6;        // chunk 0's bitmap entry: bit 300 set
  words[2 * 32769 - 1] = (5ull << 20) | 6;  // chunk 1's
  VectorBatEntryArray entries(words);
  FakeSource source;
  LoadingBitmapArray loading(entries, source, 32768);
  CachingBitmapArray caching(loading);
  ChunkTraits traits(4096, 1 << 20);
  BlockBitmapArray blocks(caching, traits);
  EXPECT_TRUE(blocks.Get(1)->Get(300 - 256));
  EXPECT_EQ(blocks.Get(1)->Size(), 256u);
  EXPECT_EQ(blocks.Get(0)->FindFirst(true), 256u);
  EXPECT_EQ(source.loads.size(), 1u);  // one chunk, one load
  EXPECT_TRUE(blocks.Get(32768)->Get(5));
  EXPECT_EQ(source.loads.size(), 2u);
}

}  // namespace
}  // namespace Vhdx
