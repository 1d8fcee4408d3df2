#include "core/fdisk/virtual/vhd/union.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhd/enumerator.h"
#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhdx/collector.h"
#include "thrown.h"

namespace Vhd {
namespace {

using HvTest::ThrownCode;
using Testing::Areas;
using Testing::VectorCollector;

std::vector<DiskArea> Merged(std::initializer_list<std::pair<unsigned long long, unsigned long long>> input) {
  Union u;
  for (const DiskArea& area : Areas(input)) EXPECT_TRUE(u.Collect(area));
  VectorCollector<DiskArea> out;
  EXPECT_TRUE(u.Enumerate(out));
  return out.values;
}

TEST(UnionTest, MergesOverlappingAndTouchingIntervalsOnly) {
  EXPECT_EQ(Merged({{0, 10}, {10, 20}}), Areas({{0, 20}}));
  EXPECT_EQ(Merged({{0, 10}, {11, 20}}), Areas({{0, 10}, {11, 20}}));
  EXPECT_EQ(Merged({{0, 6}, {7, 9}, {5, 8}}), Areas({{0, 9}}));
  // One interval bridging several, arriving out of order; empties ignored.
  EXPECT_EQ(Merged({{50, 60}, {10, 12}, {30, 31}, {20, 22}, {15, 15}, {11, 55}}), Areas({{10, 60}}));
  EXPECT_EQ(Merged({{100, 200}, {0, 1}, {300, 301}}), Areas({{0, 1}, {100, 200}, {300, 301}}));
}

TEST(UnionTest, EnumerationStopsAtRefusal) {
  Union u;
  u.Collect({0, 1});
  u.Collect({5, 1});
  VectorCollector<DiskArea> out(1);
  EXPECT_FALSE(u.Enumerate(out));
  EXPECT_EQ(out.values.size(), 1u);
}

TEST(UniteTest, DisjointIntervalsAreAnInternalError) {
  EXPECT_EQ(Unite({0, 10}, {10, 5}), (DiskArea{0, 15}));
  EXPECT_EQ(Unite({10, 5}, {0, 10}), (DiskArea{0, 15}));
  EXPECT_EQ(ThrownCode([] { Unite({0, 10}, {11, 5}); }), Code::kUniteDisjointIntervals);
}

TEST(IntersectionTest, ReportsClippedOverlapsInOrder) {
  CollectingDiskAreaIntersection set;
  for (const DiskArea& area : Areas({{10, 20}, {30, 40}, {50, 60}})) set.Collect(area);
  VectorCollector<DiskArea> out;
  EXPECT_TRUE(set.Intersect({15, 40}, out));
  EXPECT_EQ(out.values, Areas({{15, 20}, {30, 40}, {50, 55}}));
  // Touching intervals and a range between them report nothing.
  VectorCollector<DiskArea> none;
  EXPECT_TRUE(set.Intersect({20, 10}, none));
  EXPECT_TRUE(set.Intersect({1000, 5}, none));
  EXPECT_TRUE(none.values.empty());
  VectorCollector<DiskArea> first(1);
  EXPECT_FALSE(set.Intersect({0, 100}, first));
  EXPECT_EQ(first.values, Areas({{10, 20}}));
  // Collecting an overlapping interval merges instead of dropping it.
  set.Collect({18, 12});
  VectorCollector<DiskArea> merged;
  set.Intersect({0, 100}, merged);
  EXPECT_EQ(merged.values, Areas({{10, 40}, {50, 60}}));
}

TEST(CollectorTest, ThresholdIsRefusedOnlyByACoveringInterval) {
  Vhdx::ThreshouldCheckingCollector<DiskArea> check({0, 100});
  EXPECT_TRUE(check.Collect({0, 99}));
  EXPECT_TRUE(check.Collect({1, 100}));
  EXPECT_FALSE(check.Collect({0, 100}));
  EXPECT_FALSE(check.Collect({0, 200}));
}

TEST(CollectorTest, IntersectedIntervalClipsAndDropsEmptyResults) {
  VectorCollector<DiskArea> out;
  Vhdx::IntersectedIntervalCollector<DiskArea> clip({10, 10}, out);
  EXPECT_TRUE(clip.Collect({15, 15}));
  EXPECT_TRUE(clip.Collect({20, 5}));
  EXPECT_TRUE(clip.Collect({0, 5}));
  EXPECT_TRUE(clip.Collect({0, 100}));
  EXPECT_EQ(out.values, Areas({{15, 20}, {10, 20}}));
}

TEST(CollectorTest, SingleValueAndFixedValue) {
  VectorCollector<DiskArea> out;
  Vhdx::SingleValueCollector<DiskArea> single(out);
  Union u;
  for (const DiskArea& area : Areas({{0, 1}, {5, 6}, {9, 10}})) u.Collect(area);
  EXPECT_FALSE(u.Enumerate(single));
  EXPECT_EQ(out.values, Areas({{0, 1}}));

  VectorCollector<DiskArea> fixed;
  Vhdx::FixedValueReportingCollector<DiskArea> whole({0, 64}, fixed);
  fixed.values.clear();
  whole.Collect({3, 1});
  EXPECT_EQ(fixed.values, Areas({{0, 64}}));
}

TEST(CollectorTest, SaturationPreserverAndCheckerStopCollection) {
  VectorCollector<DiskArea> inner(2);
  SaturationPreserver<DiskArea> preserver(inner);
  EXPECT_TRUE(preserver.Collect({0, 1}));
  EXPECT_FALSE(preserver.IsSaturated());
  EXPECT_FALSE(preserver.Collect({2, 1}));
  EXPECT_TRUE(preserver.IsSaturated());
  EXPECT_FALSE(preserver.Collect({4, 1}));
  EXPECT_EQ(inner.values.size(), 2u);

  // The pipeline of the change computation: stop once one merged interval
  // covers the whole disk.
  Union u;
  Vhdx::ThreshouldCheckingCollector<DiskArea> threshold({0, 100});
  Vhdx::FirstRefusedEnumerator<DiskArea> covering(u, threshold);
  Vhdx::SingleValueSaturableCollectorFactory<DiskArea> factory;
  Vhdx::EnumeratorSaturationChecker<DiskArea> full(covering, factory);
  Vhdx::SaturationCheckingCollector<DiskArea> checking(full, u);
  EXPECT_TRUE(checking.Collect({0, 40}));
  EXPECT_TRUE(checking.Collect({60, 40}));
  EXPECT_FALSE(full.IsSaturated());
  EXPECT_FALSE(checking.Collect({40, 20}));
  EXPECT_TRUE(full.IsSaturated());
  EXPECT_FALSE(checking.Collect({0, 1}));
  EXPECT_EQ(u.Count(), 1u);
}

TEST(EnumeratorTest, PresentBitmapRunsWithBase) {
  auto bitmap = CreateBitmap(8, false);
  for (uint64_t bit : {1, 2, 6, 7}) bitmap->Set(bit, true);  // 0110 0011, bit 0 first
  PresentBitmapEnumerator enumerator(bitmap, 100);
  VectorCollector<DiskArea> out;
  EXPECT_TRUE(enumerator.Enumerate(out));
  EXPECT_EQ(out.values, Areas({{101, 103}, {106, 108}}));
  VectorCollector<DiskArea> first(1);
  EXPECT_FALSE(enumerator.Enumerate(first));
  EXPECT_EQ(first.values.size(), 1u);
  VectorCollector<DiskArea> empty;
  EXPECT_TRUE(PresentBitmapEnumerator(CreateBitmap(70, false), 0).Enumerate(empty));
  EXPECT_TRUE(empty.values.empty());
  EXPECT_TRUE(PresentBitmapEnumerator(CreateBitmap(70, true), 5).Enumerate(empty));
  EXPECT_EQ(empty.values, Areas({{5, 75}}));
}

}  // namespace
}  // namespace Vhd
