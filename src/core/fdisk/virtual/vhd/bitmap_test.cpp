#include "core/fdisk/virtual/vhd/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "thrown.h"

namespace Vhd {
namespace {

using HvTest::ThrownCode;

TEST(BitmapTest, CreationFillsWholeBytesIncludingSpareBits) {
  auto ones = CreateBitmap(10, true);
  ASSERT_EQ(ones->ByteSize(), 2u);
  EXPECT_EQ(ones->Data()[0], 0xFF);
  EXPECT_EQ(ones->Data()[1], 0xFF);
  EXPECT_EQ(ones->FindFirst(false), 10u);
  EXPECT_EQ(ones->FindFirst(true), 0u);
  auto zeros = CreateBitmap(10, false);
  EXPECT_EQ(zeros->Data()[1], 0x00);
  EXPECT_EQ(zeros->FindFirst(true), 10u);
  EXPECT_EQ(CreateBitmap(0, true)->FindFirst(true), 0u);
}

TEST(BitmapTest, BitOrderInsideAByte) {
  auto direct = CreateBitmap(8, false);
  direct->Set(0, true);
  EXPECT_EQ(direct->Data()[0], 0x01);
  auto reversed = CreateBitmap(8, false, true);
  reversed->Set(0, true);
  EXPECT_EQ(reversed->Data()[0], 0x80);
  EXPECT_TRUE(reversed->Get(0));
  EXPECT_FALSE(reversed->Get(7));
  EXPECT_EQ(reversed->FindFirst(true), 0u);
  reversed->Set(0, false);
  reversed->Set(0, false);  // clearing a clear bit keeps it clear
  EXPECT_EQ(reversed->Data()[0], 0x00);
}

TEST(BitmapTest, SetRangeHeadMiddleTail) {
  auto direct = CreateBitmap(16, false);
  direct->SetRange(3, 10, true);
  EXPECT_EQ(direct->Data()[0], 0xF8);
  EXPECT_EQ(direct->Data()[1], 0x1F);
  auto reversed = CreateBitmap(16, false, true);
  reversed->SetRange(3, 10, true);
  EXPECT_EQ(reversed->Data()[0], 0x1F);
  EXPECT_EQ(reversed->Data()[1], 0xF8);
  // Long range: partial head, memset middle, partial tail, then clearing inside it.
  auto big = CreateBitmap(1000, false);
  big->SetRange(5, 900, true);
  EXPECT_EQ(big->FindFirst(true), 5u);
  EXPECT_EQ(big->FindNext(5, false), 905u);
  big->SetRange(100, 8, false);
  EXPECT_EQ(big->FindNext(5, false), 100u);
  EXPECT_EQ(big->FindNext(100, true), 108u);
  // Within a single byte.
  auto small = CreateBitmap(8, false);
  small->SetRange(2, 3, true);
  EXPECT_EQ(small->Data()[0], 0x1C);
}

TEST(BitmapTest, BoundChecks) {
  auto bitmap = CreateBitmap(16, true);
  bitmap->SetRange(5, 0, false);
  EXPECT_EQ(bitmap->FindFirst(false), 16u);
  EXPECT_EQ(ThrownCode([&] { bitmap->SetRange(16, 1, false); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(ThrownCode([&] { bitmap->SetRange(10, 7, false); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(ThrownCode([&] { bitmap->Sub(16, 0); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(ThrownCode([&] { bitmap->Get(16); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(ThrownCode([&] { bitmap->Set(16, true); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(bitmap->FindNext(16, true), 16u);
  EXPECT_EQ(ThrownCode([&] { bitmap->FindNext(17, true); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(bitmap->FindInRange(16, 5, true), 16u);
  EXPECT_EQ(bitmap->FindInRange(3, 0, true), 3u);
  EXPECT_EQ(ThrownCode([&] { bitmap->FindInRange(10, 7, true); }), Code::kBitmapIndexOutOfBounds);
  // A huge count must not wrap around the check.
  EXPECT_EQ(ThrownCode([&] { bitmap->SetRange(1, ~0ull, true); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(bitmap->FindInRange(4, 4, false), 8u);
}

TEST(BitmapTest, SubBitmapsShareBitsAndNeverChain) {
  auto owner = CreateBitmap(64, true);
  auto sub = owner->Sub(8, 40);
  auto subsub = sub->Sub(4, 10);  // owner bits 12..21
  EXPECT_EQ(subsub->Size(), 10u);
  subsub->Set(0, false);
  EXPECT_FALSE(owner->Get(12));
  EXPECT_EQ(owner->FindFirst(false), 12u);
  EXPECT_EQ(sub->FindFirst(false), 4u);
  subsub->SetAll(false);
  EXPECT_EQ(owner->FindNext(12, true), 22u);
  EXPECT_EQ(subsub->FindFirst(true), 10u);
  EXPECT_EQ(ThrownCode([&] { subsub->Get(10); }), Code::kBitmapIndexOutOfBounds);
  EXPECT_EQ(ThrownCode([&] { sub->Sub(30, 11); }), Code::kBitmapIndexOutOfBounds);
  // The view keeps the owner alive.
  std::weak_ptr<DataOwningBitmap> weak = owner;
  owner.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(sub->FindInRange(0, 40, false), 4u);
  sub.reset();
  subsub.reset();
  EXPECT_TRUE(weak.expired());
}

// Word-at-a-time searches against a plain bit-by-bit model, both orders,
// with views at odd offsets so heads and tails fall mid-byte and mid-word.
TEST(BitmapTest, SearchesMatchABitByBitModel) {
  std::mt19937_64 random(7);
  for (bool reversed : {false, true}) {
    for (int round = 0; round < 40; ++round) {
      uint64_t size = 1 + random() % 700;
      auto bitmap = CreateBitmap(size, false, reversed);
      std::vector<bool> model(size, false);
      for (int op = 0; op < 6; ++op) {
        uint64_t first = random() % size;
        uint64_t count = random() % (size - first + 1);
        bool value = random() & 1;
        bitmap->SetRange(first, count, value);
        for (uint64_t i = first; i < first + count; ++i) model[i] = value;
      }
      uint64_t viewStart = random() % size;
      uint64_t viewSize = random() % (size - viewStart) + 1;
      auto view = bitmap->Sub(viewStart, viewSize);
      for (uint64_t from = 0; from <= viewSize; from += 1 + random() % 9) {
        for (bool value : {false, true}) {
          const auto viewBegin = model.begin() + static_cast<long>(viewStart);
          const uint64_t expected = static_cast<uint64_t>(
              std::find(viewBegin + static_cast<long>(from), viewBegin + static_cast<long>(viewSize), value) -
              viewBegin);
          ASSERT_EQ(view->FindNext(from, value), expected) << size << " " << viewStart << " " << from;
          if (from < viewSize) {
            uint64_t count = random() % (viewSize - from) + 1;
            uint64_t inRange = std::min(expected, from + count);
            ASSERT_EQ(view->FindInRange(from, count, value), inRange);
          }
        }
      }
      for (uint64_t i = 0; i < size; ++i) ASSERT_EQ(bitmap->Get(i), model[i]);
    }
  }
}

}  // namespace
}  // namespace Vhd
