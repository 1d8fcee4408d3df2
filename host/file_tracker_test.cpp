// The tracker stand-in: change IDs are snapshots, changed ranges come from
// comparing a snapshot with the file as it is now.
#include "hvplug/file_tracker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/common/error.h"

namespace {

namespace fs = std::filesystem;
using Ranges = std::vector<VirtualWareRaw::ByteRange>;

class FileTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvtrackerXXXXXX";
    root_ = ::mkdtemp(pattern);
    file_ = root_ + "/disk.bin";
    Write(0, std::string(200000, 'a'));
    ASSERT_FALSE(HvCreateFileTracker(State(), tracker_));
  }
  void TearDown() override { fs::remove_all(root_); }
  std::u16string State() const { return Common::Utf8ToUtf16(root_ + "/state"); }
  std::u16string File() const { return Common::Utf8ToUtf16(file_); }
  void Write(uint64_t offset, const std::string& bytes) {
    std::fstream out(file_, std::ios::in | std::ios::out | std::ios::binary);
    if (!out) out.open(file_, std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::u16string ChangeId() {
    std::u16string id;
    EXPECT_FALSE(tracker_->GetCurrentChangeId(id));
    return id;
  }
  Ranges Changed(const std::u16string& id, bool* whole = nullptr) {
    Processor::AutoRef<VirtualWareRaw::ChangedFile> changed;
    Common::Error error = tracker_->GetChangedFile(id, File(), changed);
    EXPECT_FALSE(error) << Common::DescribeErrorChain(error);
    if (error) return {};
    uint64_t size = 0;
    bool all = false;
    EXPECT_FALSE(changed->GetSize(size));
    EXPECT_FALSE(changed->IsWholeFileChanged(all));
    if (whole) *whole = all;
    Ranges ranges;
    EXPECT_FALSE(changed->GetChangedRanges(0, size, ranges));
    return ranges;
  }

  std::string root_, file_;
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker_;
};

TEST_F(FileTrackerTest, ReportsTheRangesWrittenSinceAChangeId) {
  bool tracked = true;
  ASSERT_FALSE(tracker_->IsTracked(File(), tracked));
  EXPECT_FALSE(tracked);
  ASSERT_FALSE(HvTrackFile(State(), File()));
  ASSERT_FALSE(tracker_->IsTracked(File(), tracked));
  EXPECT_TRUE(tracked);
  std::u16string first = ChangeId();
  EXPECT_TRUE(Changed(first).empty());
  Write(70000, "x");
  Write(131072, "y");  // the next range, so the two merge
  Write(250000, "z");  // growth beyond the snapshot
  Ranges ranges = Changed(first);
  ASSERT_EQ(ranges.size(), 1u);  // adjacent ranges merge into one
  EXPECT_EQ(ranges[0], (VirtualWareRaw::ByteRange{65536, 250001}));
  std::u16string second = ChangeId();
  EXPECT_TRUE(Changed(second).empty());
  Write(0, "q");
  EXPECT_EQ(Changed(second), (Ranges{{0, 65536}}));
  EXPECT_EQ(Changed(first), (Ranges{{0, 250001}}));
}

TEST_F(FileTrackerTest, UnknownIdsAndFilesTrackedLater) {
  std::u16string before = ChangeId();
  ASSERT_FALSE(HvTrackFile(State(), File()));
  bool whole = false;
  Changed(before, &whole);
  EXPECT_TRUE(whole);  // not in that snapshot: everything counts as changed
  Processor::AutoRef<VirtualWareRaw::ChangedFile> changed;
  EXPECT_EQ(tracker_->GetChangedFile(u"999", File(), changed).Code(), 0x3C0057u);
  EXPECT_EQ(tracker_->GetChangedFile(u"../x", File(), changed).Code(), 0x3C0057u);
  // A damaged snapshot is refused, not trusted.
  std::u16string id = ChangeId();
  std::ofstream(root_ + "/state/change-" + Common::Utf16ToUtf8(id) + ".snap", std::ios::trunc) << "HVSNAP01\xff";
  EXPECT_EQ(tracker_->GetChangedFile(id, File(), changed).Code(), 0x3C0056u);
}

}  // namespace
