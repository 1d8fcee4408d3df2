#include "core/fdisk/virtual/vhdx/disk_impl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using Vhd::DiskArea;
using Vhd::Testing::Areas;
using Vhd::Testing::VectorCollector;
using namespace VhdxTest;

constexpr uint64_t kBlock = kImageSectorsPerBlock;  // sectors
constexpr uint64_t kRootSectors = 4 * kBlock, kTopSectors = 6 * kBlock;

uint8_t RootByte(uint64_t s) { return static_cast<uint8_t>(0x10 + s * 7); }

// root (dynamic, 4 blocks, every sector written) <- mid (differencing,
// blocks in states 7, 2, 0, 6) <- top (differencing, 6 blocks, larger than
// its parent; block 1 present, the rest not).
class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(Root(), MakeDiskImage(kRootSectors * 512));
    {
      auto root = OpenDisk(Root(), true);
      std::vector<uint8_t> data(kRootSectors * 512);
      for (uint64_t s = 0; s < kRootSectors; ++s) std::memset(&data[s * 512], RootByte(s), 512);
      root->Write(0, data.data(), kRootSectors);
    }
    std::vector<uint8_t> mid = MakeDiskImage(kRootSectors * 512);
    MakeDifferencing(mid, DataWriteGuidOf(ReadWholeFile(Root())), {{u"relative_path", u".\\root.vhdx"}});
    SetImageEntry(mid, 0, kBlockPartiallyPresent, AppendBlock(mid, 0x80));
    SetImageEntry(mid, kImageBitmapEntry, kBlockFullyPresent, AppendBitmap(mid, 0xAA));  // odd sectors
    SetImageEntry(mid, 1, kBlockZero, 0);
    SetImageEntry(mid, 3, kBlockFullyPresent, AppendBlock(mid, 0x40));
    WriteWholeFile(Mid(), mid);

    std::vector<uint8_t> top = MakeDiskImage(kTopSectors * 512);
    // The relative path is stale; the absolute one maps to the bare name beside the child.
    MakeDifferencing(top, DataWriteGuidOf(mid),
                     {{u"relative_path", u"..\\gone\\mid.avhdx"}, {u"absolute_win32_path", u"D:\\vms\\mid.avhdx"}});
    SetImageEntry(top, 1, kBlockFullyPresent, AppendBlock(top, 0xC0));
    WriteWholeFile(Top(), top);
  }
  std::string Root() const { return dir_ / "root.vhdx"; }
  std::string Mid() const { return dir_ / "mid.avhdx"; }
  std::string Top() const { return dir_ / "top.avhdx"; }

  // What each sector of the chain reads as before any write to top.
  static uint8_t Expected(uint64_t s) {
    uint64_t block = s / kBlock, inBlock = s % kBlock;
    if (block == 1) return static_cast<uint8_t>(0xC0 + inBlock);  // top
    if (block >= 4) return 0;                                     // beyond the parents
    if (block == 0) return inBlock % 2 ? static_cast<uint8_t>(0x80 + inBlock) : RootByte(s);
    if (block == 3) return static_cast<uint8_t>(0x40 + inBlock);
    return RootByte(s);  // block 2: mid does not hold it
  }

  TempDir dir_;
};

TEST_F(ChainTest, ReadsEveryBlockStateAcrossThreeLevels) {
  auto disk = OpenDisk(Top(), false);
  EXPECT_EQ(GetDiskChain(*disk).size(), 3u);
  std::vector<uint8_t> data(kTopSectors * 512);
  // In pieces that straddle block and parent-end boundaries.
  for (uint64_t s = 0; s < kTopSectors;) {
    uint64_t n = std::min<uint64_t>(3001, kTopSectors - s);
    disk->Read(s, data.data() + s * 512, n);
    s += n;
  }
  for (uint64_t s = 0; s < kTopSectors; ++s) {
    ASSERT_EQ(data[s * 512], Expected(s)) << "sector " << s;
    ASSERT_EQ(data[s * 512 + 511], Expected(s)) << "sector " << s;
  }
}

TEST_F(ChainTest, WritesGoToTheTopFileOnly) {
  std::vector<uint8_t> rootBefore = ReadWholeFile(Root()), midBefore = ReadWholeFile(Mid());
  {
    auto disk = OpenDisk(Top(), true);
    std::vector<uint8_t> one(512, 0xEE);
    disk->Write(5, one.data(), 1);  // block 0: not present in top
    std::vector<uint8_t> back(3 * 512);
    disk->Read(4, back.data(), 3);
    EXPECT_EQ(back[0], Expected(4));
    EXPECT_EQ(back[512], 0xEE);
    EXPECT_EQ(back[1024], Expected(6));
    std::vector<uint8_t> whole(kBlock * 512, 0x77);
    disk->Write(4 * kBlock, whole.data(), kBlock);  // beyond the parents: a whole block
  }
  EXPECT_EQ(ReadWholeFile(Root()), rootBefore);
  EXPECT_EQ(ReadWholeFile(Mid()), midBefore);
  std::vector<uint8_t> top = ReadWholeFile(Top());
  const BatEntry bitmapEntry{ImageEntry(top, kImageBitmapEntry)};
  EXPECT_EQ(BatEntry{ImageEntry(top, 0)}.State(), kBlockPartiallyPresent);
  EXPECT_EQ(BatEntry{ImageEntry(top, 4)}.State(), kBlockFullyPresent);
  EXPECT_EQ(bitmapEntry.State(), kBlockFullyPresent);
  EXPECT_EQ(top[bitmapEntry.FileOffset()], 0x20);  // only sector 5's bit

  auto reopened = OpenDisk(Top(), false);
  std::vector<uint8_t> data(kTopSectors * 512);
  reopened->Read(0, data.data(), kTopSectors);
  for (uint64_t s = 0; s < kTopSectors; ++s) {
    uint8_t expected = s == 5 ? 0xEE : (s / kBlock == 4 ? 0x77 : Expected(s));
    ASSERT_EQ(data[s * 512], expected) << "sector " << s;
  }
}

// Block 1 of mid reads as zeros (state 2). A write into it must not let
// the parent's data show through the sectors it did not write.
TEST_F(ChainTest, WritingIntoAZeroBlockKeepsItsOtherSectorsZero) {
  std::vector<uint8_t> rootBefore = ReadWholeFile(Root());
  {
    auto disk = OpenDisk(Mid(), true);
    std::vector<uint8_t> one(512, 0xEE);
    disk->Write(kBlock + 3, one.data(), 1);
  }
  EXPECT_EQ(ReadWholeFile(Root()), rootBefore);
  EXPECT_EQ(BatEntry{ImageEntry(ReadWholeFile(Mid()), 1)}.State(), kBlockFullyPresent);

  auto disk = OpenDisk(Mid(), false);
  std::vector<uint8_t> data(kBlock * 512);
  disk->Read(kBlock, data.data(), kBlock);
  for (uint64_t s = 0; s < kBlock; ++s) ASSERT_EQ(data[s * 512 + 7], s == 3 ? 0xEE : 0) << "sector " << s;
}

std::vector<DiskArea> Changes(Disk& disk, const std::u16string& since, DiskArea range) {
  VectorCollector<DiskArea> out;
  disk.GetChanges(since, range, out);
  return out.values;
}

TEST_F(ChainTest, AllChangesMergeEveryLevel) {
  auto disk = OpenDisk(Top(), false);
  EXPECT_EQ(Changes(*disk, u"*", {0, kTopSectors}), Areas({{0, kRootSectors}}));  // root holds every sector
  EXPECT_EQ(Changes(*disk, u"*", {kRootSectors - 10, 100}), Areas({{kRootSectors - 10, kRootSectors}}));
  EXPECT_TRUE(Changes(*disk, u"*", {kRootSectors + 1, 100}).empty());
  EXPECT_EQ(HvTest::Thrown([&] { Changes(*disk, u"7", {0, 1}); }).Code(), Code::kFileTrackerNotFound);
  EXPECT_EQ(HvTest::Thrown([&] { disk->GetCurrentChangeId(); }).Code(), Code::kFileTrackerNotFound);
}

TEST_F(ChainTest, TrackerReportsWritesOfEveryLevelSinceAChangeId) {
  const std::u16string state = Common::Utf8ToUtf16(dir_ / "tracker");
  for (const std::string& file : {Root(), Mid(), Top()}) ASSERT_FALSE(HvTrackFile(state, Common::Utf8ToUtf16(file)));
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker;
  ASSERT_FALSE(HvCreateFileTracker(state, tracker));
  std::u16string before;
  ASSERT_FALSE(tracker->GetCurrentChangeId(before));
  {
    auto disk = OpenDisk(Top(), true, tracker);
    std::vector<uint8_t> one(512, 0xEE);
    disk->Write(5, one.data(), 1);
    disk->Write(3 * kBlock + 10, one.data(), 1);
  }
  // A parent changed behind the chain's back: sector 100 of mid's block 3.
  std::vector<uint8_t> mid = ReadWholeFile(Mid());
  mid[BatEntry{ImageEntry(mid, 3)}.FileOffset() + 100 * 512] ^= 1;
  WriteWholeFile(Mid(), mid);

  auto disk = OpenDisk(Top(), false, tracker);
  // Top's two new blocks grew the file: all of their sectors. The tracker
  // reports the rewritten BAT entry by entry, so the empty entries beside
  // them (blocks 2, 4, 5) do not count. Top's new sector bitmap block changed
  // as a whole: it also reports fully present block 1, whose bits it holds.
  // Mid's changed range lies inside block 3.
  EXPECT_EQ(Changes(*disk, before, {0, kTopSectors}), Areas({{0, 2 * kBlock}, {3 * kBlock, 4 * kBlock}}));
  EXPECT_TRUE(Changes(*disk, disk->GetCurrentChangeId(), {0, kTopSectors}).empty());
  // Answers are cached per change ID: a second query does not ask the tracker.
  std::filesystem::remove_all(dir_ / "tracker");
  EXPECT_EQ(Changes(*disk, before, {10, 20}), Areas({{10, 30}}));
}

// Zeros written over sectors the child has not written: the payload bytes
// were zeros already, only the sector bitmap changes, and what the sectors
// read changes from the parent's data to zeros.
TEST_F(ChainTest, BitmapOnlyChangeIsReported) {
  const std::u16string state = Common::Utf8ToUtf16(dir_ / "tracker");
  for (const std::string& file : {Root(), Mid(), Top()}) ASSERT_FALSE(HvTrackFile(state, Common::Utf8ToUtf16(file)));
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker;
  ASSERT_FALSE(HvCreateFileTracker(state, tracker));
  std::vector<uint8_t> one(512, 0xEE), zeros(4 * 512, 0);
  OpenDisk(Top(), true)->Write(5, one.data(), 1);  // block 0 of top: partially present
  std::u16string before;
  ASSERT_FALSE(tracker->GetCurrentChangeId(before));
  const std::vector<uint8_t> topBefore = ReadWholeFile(Top());
  OpenDisk(Top(), true)->Write(6, zeros.data(), 4);
  const std::vector<uint8_t> topAfter = ReadWholeFile(Top());
  const uint64_t block0 = BatEntry{ImageEntry(topAfter, 0)}.FileOffset();
  ASSERT_EQ(topBefore.size(), topAfter.size());
  ASSERT_TRUE(std::equal(topAfter.begin() + block0, topAfter.begin() + block0 + (4 << 20), topBefore.begin() + block0));
  ASSERT_NE(Expected(6), 0);

  auto disk = OpenDisk(Top(), false, tracker);
  std::vector<uint8_t> back(512);
  disk->Read(6, back.data(), 1);
  EXPECT_EQ(back[0], 0);
  // The tracker reports the changed word of the bitmap: the bits of
  // sectors 0 to 63.
  EXPECT_EQ(Changes(*disk, before, {0, kTopSectors}), Areas({{0, 64}}));
}

// Random writes into the top file, some of zeros over the parents' data,
// before and after a change ID: every sector that reads differently since
// is among the changes reported, though a partially present block reports
// only the sectors it supplies.
TEST_F(ChainTest, ChangesSinceAChangeIdCoverEverySectorThatReadsDifferently) {
  const std::u16string state = Common::Utf8ToUtf16(dir_ / "tracker");
  for (const std::string& file : {Root(), Mid(), Top()}) ASSERT_FALSE(HvTrackFile(state, Common::Utf8ToUtf16(file)));
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker;
  ASSERT_FALSE(HvCreateFileTracker(state, tracker));
  std::mt19937 random(11);
  std::vector<uint8_t> data(64 * 512);
  auto writeSome = [&](int count) {
    auto disk = OpenDisk(Top(), true);
    for (int i = 0; i < count; ++i) {
      const uint64_t length = 1 + random() % 64;
      const uint64_t first = random() % (kTopSectors - length);
      const bool zeros = random() % 4 == 0;
      for (uint8_t& b : data) b = zeros ? 0 : static_cast<uint8_t>(random() | 1);
      disk->Write(first, data.data(), length);
    }
  };
  auto readAll = [&] {
    std::vector<uint8_t> all(kTopSectors * 512);
    OpenDisk(Top(), false)->Read(0, all.data(), kTopSectors);
    return all;
  };
  writeSome(30);
  for (int round = 0; round < 3; ++round) {
    std::u16string before;
    ASSERT_FALSE(tracker->GetCurrentChangeId(before));
    const std::vector<uint8_t> then = readAll();
    writeSome(30);
    const std::vector<uint8_t> now = readAll();
    auto disk = OpenDisk(Top(), false, tracker);
    const std::vector<DiskArea> changed = Changes(*disk, before, {0, kTopSectors});
    uint64_t differing = 0;
    for (uint64_t s = 0; s < kTopSectors; ++s) {
      if (std::memcmp(&then[s * 512], &now[s * 512], 512) == 0) continue;
      ++differing;
      ASSERT_TRUE(std::any_of(changed.begin(), changed.end(), [&](const DiskArea& a) {
        return s >= a.start && s < a.End();
      })) << "round " << round << ", sector " << s;
    }
    EXPECT_GT(differing, 0u);
  }
}

TEST_F(ChainTest, ParentSearchFailures) {
  // A parent whose data write GUID differs from the linkage is not accepted.
  std::vector<uint8_t> mid = ReadWholeFile(Mid());
  Common::Guid other = Common::GenerateGuid();
  other.Store(mid.data() + 0x10000 + 32);
  other.Store(mid.data() + 0x20000 + 32);
  FixHeaderChecksums(mid);
  WriteWholeFile(Mid(), mid);
  Common::Error error = HvTest::Thrown([&] { OpenDisk(Top(), false); });
  EXPECT_EQ(error.Code(), Code::kParentNotFound);
  EXPECT_EQ(error.Cause().Code(), Code::kParentLinkageMismatch);
  std::filesystem::remove(Mid());
  EXPECT_EQ(HvTest::Thrown([&] { OpenDisk(Top(), false); }).Code(), Code::kParentNotFound);
  EXPECT_EQ(HvTest::Thrown([&] { OpenDisk(dir_ / "nowhere/x.vhdx", false); }).Code(), Code::kOpenVhdxDirectoryFailed);
  EXPECT_EQ(HvTest::Thrown([&] { OpenDisk(dir_ / "missing.vhdx", false); }).Code(), Code::kOpenVhdxFileFailed);
}

TEST(ParentPathTest, LocatorPathsMapToLocalCandidates) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ParentPathCandidates("/vm", u".\\base.vhdx"), (V{"/vm/./base.vhdx", "/vm/base.vhdx"}));
  EXPECT_EQ(ParentPathCandidates("/vm", u"C:\\VMs\\disks\\base.vhdx"),
            (V{"/vm/VMs/disks/base.vhdx", "/VMs/disks/base.vhdx", "/vm/base.vhdx"}));
  EXPECT_EQ(ParentPathCandidates("/vm", u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\x\\base.vhdx"),
            (V{"/vm/x/base.vhdx", "/x/base.vhdx", "/vm/base.vhdx"}));
  EXPECT_TRUE(ParentPathCandidates("/vm", u"").empty());
}

}  // namespace
}  // namespace Vhdx
