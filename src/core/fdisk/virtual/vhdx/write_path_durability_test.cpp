// Durability of writes: the order of writes and barriers, a simulated power
// loss at every point of a run of requests, and failing flushes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <tuple>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/durability_testutil.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::Thrown;

using namespace VhdxTest;

constexpr uint64_t kBlock = kImageSectorsPerBlock;
constexpr uint64_t kSectors = 4 * kBlock;

// Unaligned runs, some inside one block, some across two.
std::vector<Request> MakeRequests(uint32_t seed, int count) {
  std::mt19937 random(seed);
  std::vector<Request> requests;
  for (int i = 0; i < count; ++i) {
    uint64_t length = 1 + random() % (i % 3 == 0 ? kBlock + 300 : 300);
    requests.push_back({random() % (kSectors - length), length});
  }
  return requests;
}

// A differencing child (in memory) of a parent on disk whose every sector
// holds the parent stamp, or a dynamic disk (in memory).
class DurabilityTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    image_ = MakeDiskImage(kSectors * 512);
    if (Differencing()) MakeStampedParent(dir_.path, kSectors, image_);
  }
  bool Differencing() const { return GetParam(); }
  std::string TopPath() const { return dir_ / "top.avhdx"; }

  std::shared_ptr<Disk> Open(std::shared_ptr<CoreFile> core, bool writable) {
    return OpenDisk(TopPath(), std::move(core), writable);
  }
  // The stamp of every sector of the top file as the disk reads it.
  std::vector<uint32_t> Stamps(std::vector<uint8_t> bytes) {
    auto disk = Open(std::make_shared<MemoryCoreFile>(std::move(bytes)), false);
    std::vector<uint8_t> data(kSectors * 512);
    disk->Read(0, data.data(), kSectors);
    std::vector<uint32_t> stamps(kSectors);
    for (uint64_t s = 0; s < kSectors; ++s) stamps[s] = StampOf(&data[s * 512]);
    return stamps;
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
};

TEST_P(DurabilityTest, OneBarrierPerRequestThatChangesStructuresBeforeTheyChange) {
  auto core = std::make_shared<RecordingCoreFile>(image_);
  {
    auto disk = Open(core, true);
    std::vector<uint8_t> data(3 * kBlock * 512);
    FillStamped(data.data(), 0, 3 * kBlock, 1);
    core->step = 1;  // allocates one block; the opening's first change renews the header GUIDs
    disk->Write(100, data.data(), 3);
    core->step = 2;  // allocates two blocks in one request
    disk->Write(kBlock - 5, data.data(), 2 * kBlock + 10);
    core->step = 3;  // rewrites sectors in place
    disk->Write(kBlock - 5, data.data(), 5);
    core->step = 4;  // writes new sectors into block 0
    disk->Write(200, data.data(), 5);
    core->step = 5;  // releases the disk
  }
  // A new sector bitmap block gets its entry durable before the block
  // entries that rely on it: one more barrier, once per chunk.
  EXPECT_EQ(core->Flushes(1), Differencing() ? 3 : 2);
  EXPECT_EQ(core->Flushes(2), 1);
  EXPECT_EQ(core->Flushes(3), 0);
  // Block 0 of a differencing file is partially present: its new bits wait
  // for their data. A dynamic disk's block 0 is fully present.
  EXPECT_EQ(core->Flushes(4), Differencing() ? 1 : 0);
  EXPECT_EQ(core->Flushes(5), 1);
  EXPECT_EQ(core->ops.back().kind, RecordingCoreFile::Op::kFlush);
  // Within an allocating request: after its last barrier only the table
  // and the bits of the bitmap block are written.
  const uint64_t bitmap = BatEntry{ImageEntry(core->Bytes(), kImageBitmapEntry)}.FileOffset();
  for (int request : {1, 2}) {
    size_t lastFlush = 0;
    for (size_t i = 0; i < core->ops.size(); ++i) {
      if (core->ops[i].step == request && core->ops[i].kind == RecordingCoreFile::Op::kFlush) lastFlush = i;
    }
    bool table = false;
    for (size_t i = lastFlush + 1; i < core->ops.size() && core->ops[i].step == request; ++i) {
      const auto& op = core->ops[i];
      ASSERT_EQ(op.kind, RecordingCoreFile::Op::kWrite);
      const bool inTable = op.offset >= kImageBat && op.offset < kImageBat + (1 << 20);
      const bool inBitmap = Differencing() && op.offset >= bitmap && op.offset + op.data.size() <= bitmap + (1 << 20);
      EXPECT_TRUE(inTable || inBitmap) << "request " << request << " writes at " << op.offset << " after its barrier";
      table = table || inTable;
    }
    EXPECT_TRUE(table) << "request " << request;
  }
}

// Between two barriers a power loss may keep any subset of the 512-byte
// pieces written; the file must open and every sector read a value it held
// since the last barrier, or the value of the request under way.
TEST_P(DurabilityTest, PowerLossAtAnyPointKeepsEverySectorOldOrNew) {
  const std::vector<Request> requests = MakeRequests(Differencing() ? 7 : 8, 10);
  auto core = std::make_shared<RecordingCoreFile>(image_);
  std::vector<std::vector<uint32_t>> after;  // after[j + 1]: stamps after request j
  after.push_back(Stamps(image_));
  {
    auto disk = Open(core, true);
    for (size_t j = 0; j < requests.size(); ++j) {
      core->step = static_cast<int>(j);
      std::vector<uint8_t> data(requests[j].count * 512);
      FillStamped(data.data(), requests[j].first, requests[j].count, static_cast<uint32_t>(j + 1));
      disk->Write(requests[j].first, data.data(), requests[j].count);
      after.push_back(after.back());
      std::fill_n(after.back().begin() + requests[j].first, requests[j].count, static_cast<uint32_t>(j + 1));
    }
    core->step = static_cast<int>(requests.size());
  }
  EXPECT_EQ(Stamps(core->Bytes()), after.back());

  const auto& ops = core->ops;
  std::mt19937 random(99);
  std::vector<size_t> cuts;
  for (int trial = 0; trial < 16; ++trial) cuts.push_back(random() % (ops.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  SimulatePowerLosses(image_, ops, cuts, random, 1, [&](MemoryCoreFile& crashed, size_t durable, size_t cut) {
    const int oldest = durable ? ops[durable - 1].step - 1 : -1;
    const int newest = cut ? ops[cut - 1].step : -1;
    std::vector<uint32_t> stamps;
    ASSERT_NO_THROW(stamps = Stamps(crashed.Bytes())) << "cut " << cut;
    for (uint64_t s = 0; s < kSectors; ++s) {
      bool allowed = false;
      for (int j = std::max(oldest, -1); j <= std::min<int>(newest, static_cast<int>(requests.size()) - 1); ++j)
        allowed = allowed || stamps[s] == after[j + 1][s];
      ASSERT_TRUE(allowed) << "cut " << cut << " of " << ops.size() << ", sector " << s << " reads stamp " << stamps[s];
    }
  });
}

TEST_P(DurabilityTest, FailedFlushIsReportedAndLeavesTheFileConsistent) {
  auto core = std::make_shared<RecordingCoreFile>(image_);
  auto disk = Open(core, true);
  std::vector<uint8_t> data(kBlock * 512);
  FillStamped(data.data(), kSectors - 1, 1, 1);
  disk->Write(kSectors - 1, data.data(), 1);  // renews the headers and places the bitmap
  const std::vector<uint32_t> before = Stamps(core->Bytes());
  FillStamped(data.data(), 10, kBlock, 2);
  core->failFlushes = true;
  EXPECT_EQ(Thrown([&] { disk->Write(10, data.data(), kBlock); }).Code(), Code::kFileWrite);
  EXPECT_EQ(Thrown([&] { disk->Flush(); }).Code(), Code::kFileWrite);
  // Nothing of the failed request is visible, in this opening or the next.
  std::vector<uint8_t> back(kBlock * 512);
  disk->Read(10, back.data(), kBlock);
  for (uint64_t s = 0; s < kBlock; ++s) ASSERT_EQ(StampOf(&back[s * 512]), before[10 + s]) << "sector " << 10 + s;
  EXPECT_EQ(Stamps(core->Bytes()), before);
  // Once flushing works again, the same write goes through.
  core->failFlushes = false;
  disk->Write(10, data.data(), kBlock);
  disk.reset();
  std::vector<uint32_t> stamps = Stamps(core->Bytes());
  for (uint64_t s = 0; s < kSectors; ++s) ASSERT_EQ(stamps[s], s >= 10 && s < 10 + kBlock ? 2 : before[s]);
}

// A first fill drops the barriers of the data layer and nothing else: the
// same writes in the same order, the header renewal still durable before the
// first change, one flush at the end, and barriers again after it.
TEST_P(DurabilityTest, FirstFillIssuesTheSameWritesWithOneFlushAtTheEnd) {
  // The last block stays empty, for a request after the fill.
  std::vector<Request> requests = MakeRequests(Differencing() ? 5 : 6, 12);
  std::erase_if(requests, [](const Request& r) { return r.first + r.count > 3 * kBlock; });
  ASSERT_GE(requests.size(), 4u);
  auto run = [&](bool fill) {
    auto core = std::make_shared<RecordingCoreFile>(image_);
    auto disk = Open(core, true);
    if (fill) disk->BeginFirstFill();
    EXPECT_EQ(disk->InFirstFill(), fill);
    for (size_t j = 0; j < requests.size(); ++j) {
      core->step = static_cast<int>(j + 1);
      std::vector<uint8_t> data(requests[j].count * 512);
      FillStamped(data.data(), requests[j].first, requests[j].count, static_cast<uint32_t>(j + 1));
      disk->Write(requests[j].first, data.data(), requests[j].count);
    }
    return std::make_pair(core, disk);
  };
  auto [plain, plainDisk] = run(false);
  auto [filled, filledDisk] = run(true);
  auto writes = [](const RecordingCoreFile& core) {
    std::vector<std::tuple<int, uint64_t, size_t>> out;
    for (const auto& op : core.ops)
      if (op.kind != RecordingCoreFile::Op::kFlush) out.emplace_back(op.kind, op.offset, op.data.size());
    return out;
  };
  EXPECT_EQ(writes(*filled), writes(*plain));
  EXPECT_EQ(filled->Flushes(1), 1);  // the header renewal before the first change
  for (int request = 2; request <= static_cast<int>(requests.size()); ++request) {
    EXPECT_EQ(filled->Flushes(request), 0) << "request " << request;
  }
  EXPECT_EQ(Stamps(filled->Bytes()), Stamps(plain->Bytes()));

  filled->step = 100;
  filledDisk->Flush();
  EXPECT_EQ(filled->Flushes(100), 1);
  EXPECT_FALSE(filledDisk->InFirstFill());
  // The fill is over: an allocating request has its barrier again.
  filled->step = 101;
  std::vector<uint8_t> data(512);
  FillStamped(data.data(), kSectors - 1, 1, 50);
  filledDisk->Write(kSectors - 1, data.data(), 1);
  EXPECT_EQ(filled->Flushes(101), 1);
}

TEST_P(DurabilityTest, FirstFillKeepsGoingWhenItsFlushFailsAndTheReleaseFlushes) {
  auto core = std::make_shared<RecordingCoreFile>(image_);
  auto disk = Open(core, true);
  disk->BeginFirstFill();
  std::vector<uint8_t> data(kBlock * 512);
  FillStamped(data.data(), kBlock, kBlock, 1);
  disk->Write(kBlock, data.data(), kBlock);
  core->failFlushes = true;
  EXPECT_EQ(Thrown([&] { disk->Flush(); }).Code(), Code::kFileWrite);
  EXPECT_TRUE(disk->InFirstFill());
  // Still no barriers: a failed flush must not turn them on half-way.
  core->failFlushes = false;
  core->step = 1;
  FillStamped(data.data(), 2 * kBlock, kBlock, 2);
  disk->Write(2 * kBlock, data.data(), kBlock);
  EXPECT_EQ(core->Flushes(1), 0);
  core->step = 2;
  disk.reset();
  EXPECT_EQ(core->Flushes(2), 1);
  EXPECT_EQ(core->ops.back().kind, RecordingCoreFile::Op::kFlush);
  const std::vector<uint32_t> stamps = Stamps(core->Bytes());
  for (uint64_t s = kBlock; s < 3 * kBlock; ++s) ASSERT_EQ(stamps[s], s < 2 * kBlock ? 1u : 2u) << "sector " << s;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DurabilityTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Differencing" : "Dynamic"; });

}  // namespace
}  // namespace Vhdx
