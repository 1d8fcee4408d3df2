// The tracker stand-in: change IDs are snapshots, changed ranges come from
// comparing a snapshot with the file as it is now.
#include "hvplug/file_tracker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "core/common/error.h"

namespace {

namespace fs = std::filesystem;
using Ranges = std::vector<VirtualWareRaw::ByteRange>;

std::string Random(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

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
  // Asks a fresh tracker (as a later process would) unless told otherwise.
  Ranges Changed(const std::u16string& id, bool* whole = nullptr, bool fresh = true) {
    Processor::AutoRef<VirtualWareRaw::FileTracker> tracker = tracker_;
    if (fresh) {
      EXPECT_FALSE(HvCreateFileTracker(State(), tracker));
    }
    Processor::AutoRef<VirtualWareRaw::ChangedFile> changed;
    Common::Error error = tracker->GetChangedFile(id, File(), changed);
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

TEST_F(FileTrackerTest, CompressiblePiecesReportExactWords) {
  bool tracked = true;
  ASSERT_FALSE(tracker_->IsTracked(File(), tracked));
  EXPECT_FALSE(tracked);
  ASSERT_FALSE(HvTrackFile(State(), File()));
  ASSERT_FALSE(tracker_->IsTracked(File(), tracked));
  EXPECT_TRUE(tracked);
  std::u16string first = ChangeId();
  EXPECT_TRUE(Changed(first).empty());
  Write(70000, "x");
  Write(131071, "yy");  // straddles a word and a piece boundary
  Write(250000, "z");   // growth beyond the snapshot
  EXPECT_EQ(Changed(first), (Ranges{{70000, 70008}, {131064, 131080}, {200000, 250001}}));
  std::u16string second = ChangeId();
  EXPECT_TRUE(Changed(second).empty());
  Write(0, "q");
  EXPECT_EQ(Changed(second), (Ranges{{0, 8}}));
  EXPECT_EQ(Changed(first), (Ranges{{0, 8}, {70000, 70008}, {131064, 131080}, {200000, 250001}}));
  // Asking the tracker that took the snapshot, which may reuse it.
  EXPECT_EQ(Changed(second, nullptr, false), (Ranges{{0, 8}}));
}

TEST_F(FileTrackerTest, IncompressiblePiecesReportWholePieces) {
  Write(0, Random(300000, 1));
  ASSERT_FALSE(HvTrackFile(State(), File()));
  std::u16string id = ChangeId();
  Write(65536 + 5, "x");
  Write(262144 + 10, "y");  // the short last piece
  EXPECT_EQ(Changed(id), (Ranges{{65536, 131072}, {262144, 300000}}));
  // A table-like piece that turns into data is reported whole; data that
  // turns into zeros too (only a hash was kept of it).
  Write(0, std::string(65536, '\0'));
  std::u16string zeroed = ChangeId();
  Write(0, Random(65536, 2));
  Write(131072, std::string(65536, '\0'));
  EXPECT_EQ(Changed(zeroed), (Ranges{{0, 65536}, {131072, 196608}}));
}

// A piece is taken as all zeros only when every byte is: one set byte
// anywhere (first, at the end of a stride of words, in the last word, in the
// odd tail of a short last piece) keeps it, so that clearing that byte later
// is reported.
TEST_F(FileTrackerTest, OneSetByteAnywhereKeepsAPieceFromCountingAsZeros) {
  const uint64_t size = 4 * 65536 + 1001;  // a short last piece of an odd length
  const std::vector<uint64_t> bytes = {0, 65536 + 255, 2 * 65536 + 65535, 3 * 65536 + 4000, size - 1};
  Write(0, std::string(size, '\0'));
  for (uint64_t at : bytes) Write(at, "\x01");
  ASSERT_FALSE(HvTrackFile(State(), File()));
  const std::u16string id = ChangeId();
  for (uint64_t at : bytes) Write(at, std::string(1, '\0'));
  Ranges expected;
  for (uint64_t at : bytes) expected.push_back({at / 8 * 8, std::min(at / 8 * 8 + 8, size)});
  EXPECT_EQ(Changed(id), expected);
}

// Several threads share out a snapshot's reads (1 MiB each): pieces of
// every kind in every read, holes ending inside a read and a short last
// piece must each be kept and compared in their own place, whether the
// snapshot is read back from its file or reused in memory.
TEST_F(FileTrackerTest, PiecesOfEveryReadLandInTheirPlace) {
  const uint64_t mib = 1 << 20, reads = 6;
  ASSERT_EQ(::truncate(file_.c_str(), 0), 0);
  std::string table(65536, '\0');
  for (size_t i = 0; i < table.size(); i += 8) table[i] = static_cast<char>(1 + i % 7);
  for (uint64_t r = 0; r < reads; ++r) {
    Write(r * mib + 2 * 65536, Random(65536, static_cast<unsigned>(r)));  // after a hole of two pieces
    Write(r * mib + 3 * 65536, table);
  }
  Write(reads * mib + 1000, "tail");  // a short last piece after a hole
  ASSERT_FALSE(HvTrackFile(State(), File()));
  const std::u16string id = ChangeId();
  Ranges expected;
  for (uint64_t r = 0; r < reads; ++r) {
    Write(r * mib + 65536 + 100, "h");
    expected.push_back({r * mib + 65536 + 96, r * mib + 65536 + 104});
    if (r == reads - 1) {
      Write(r * mib + 2 * 65536 + 5, "d");
      expected.push_back({r * mib + 2 * 65536, r * mib + 3 * 65536});
    }
    Write(r * mib + 3 * 65536 + 12, "t");
    expected.push_back({r * mib + 3 * 65536 + 8, r * mib + 3 * 65536 + 16});
  }
  Write(reads * mib + 1002, "l");
  expected.push_back({reads * mib + 1000, reads * mib + 1004});
  EXPECT_EQ(Changed(id), expected);
  EXPECT_EQ(Changed(id, nullptr, false), expected);
}

TEST_F(FileTrackerTest, SparseFilesAndUnknownIds) {
  // Holes are snapshotted without reading them; a table entry written into
  // one is reported as that entry alone.
  ASSERT_EQ(::truncate(file_.c_str(), 1ll << 34), 0);
  ASSERT_FALSE(HvTrackFile(State(), File()));
  std::u16string id = ChangeId();
  Write((1ull << 33) + 16, "12345678");
  EXPECT_EQ(Changed(id), (Ranges{{(1ull << 33) + 16, (1ull << 33) + 24}}));

  Processor::AutoRef<VirtualWareRaw::ChangedFile> changed;
  EXPECT_EQ(tracker_->GetChangedFile(u"999", File(), changed).Code(), Code::kTrackerUnknownChangeId);
  EXPECT_EQ(tracker_->GetChangedFile(u"../x", File(), changed).Code(), Code::kTrackerUnknownChangeId);
  // A file tracked after the change ID counts as changed whole.
  std::string other = root_ + "/other.bin";
  std::ofstream(other) << "data";
  ASSERT_FALSE(HvTrackFile(State(), Common::Utf8ToUtf16(other)));
  ASSERT_FALSE(tracker_->GetChangedFile(id, Common::Utf8ToUtf16(other), changed));
  bool whole = false;
  ASSERT_FALSE(changed->IsWholeFileChanged(whole));
  EXPECT_TRUE(whole);
  // A damaged snapshot is refused, not trusted: cut short, or a kept piece
  // longer than a kept piece may be.
  std::string name = root_ + "/state/change-" + Common::Utf16ToUtf8(id) + ".snap";
  std::ifstream in(name, std::ios::binary);
  const std::string good(std::istreambuf_iterator<char>(in), {});
  std::ofstream(name, std::ios::trunc | std::ios::binary) << good.substr(0, good.size() - 3);
  EXPECT_EQ(tracker_->GetChangedFile(id, File(), changed).Code(), Code::kTrackerStateInvalid);
  std::string bad = good;
  size_t kind = 8 + 4 + 4 + file_.size() + 16;  // first piece of the first file
  bad[kind] = 1;
  bad.insert(kind + 9, std::string("\xff\xff\x00\x00", 4));
  std::ofstream(name, std::ios::trunc | std::ios::binary) << bad;
  EXPECT_EQ(tracker_->GetChangedFile(id, File(), changed).Code(), Code::kTrackerStateInvalid);
}

TEST_F(FileTrackerTest, ForgottenChangeIdsAreGoneAndNeverHandedOutAgain) {
  ASSERT_FALSE(HvTrackFile(State(), File()));
  const std::u16string first = ChangeId();
  Write(100, "a");
  const std::u16string kept = ChangeId();
  Write(300, "b");
  const std::u16string last = ChangeId();
  // What a run killed while writing a snapshot leaves.
  const std::string leftover = root_ + "/state/change-9.snap.tmp";
  std::ofstream(leftover) << "half";
  ASSERT_FALSE(HvForgetChangeIds(State(), {kept, u"77"}));

  Processor::AutoRef<VirtualWareRaw::ChangedFile> changed;
  EXPECT_EQ(tracker_->GetChangedFile(first, File(), changed).Code(), Code::kTrackerUnknownChangeId);
  EXPECT_EQ(tracker_->GetChangedFile(last, File(), changed).Code(), Code::kTrackerUnknownChangeId);
  EXPECT_EQ(Changed(kept), (Ranges{{296, 304}}));
  EXPECT_FALSE(fs::exists(leftover));
  bool tracked = false;
  ASSERT_FALSE(tracker_->IsTracked(File(), tracked));
  EXPECT_TRUE(tracked);
  // A later ID is new even where the removed ones were the last handed out.
  EXPECT_EQ(ChangeId(), u"4");
  size_t snapshots = 0;
  for (const auto& entry : fs::directory_iterator(root_ + "/state")) {
    snapshots += entry.path().extension() == ".snap";
  }
  EXPECT_EQ(snapshots, 2u);
}

// One 512-byte write to a new 100 GiB dynamic disk: the changes reported are
// that write's block, not the thousands of empty blocks beside its table entry.
TEST(FileTrackerOnDisks, OneWriteToALargeDiskReportsOneBlock) {
  const char* lib = std::getenv("HVPLUG_LIB_DIR");
  ASSERT_NE(lib, nullptr);
  const std::string bin = std::string(lib) + "/../bin";
  char pattern[] = "/tmp/hvtrackerXXXXXX";
  const std::string root = ::mkdtemp(pattern);
  const std::string hvdisk = bin + "/hvdisk", disk = root + "/disk.vhdx";
  auto run = [&](const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << command;
    return out;
  };
  run(hvdisk + " create " + disk + " 100G");
  std::string id = run(hvdisk + " track " + disk + " --tracker " + root + "/state");
  id.erase(id.find_last_not_of('\n') + 1);
  std::ofstream(root + "/sector.raw") << std::string(512, 'S');
  run(hvdisk + " write " + disk + " " + root + "/sector.raw --offset " + std::to_string(50ull << 30));
  std::istringstream changes(run(hvdisk + " changes " + disk + " --since " + id + " --tracker " + root + "/state"));
  uint64_t start = 0, length = 0, total = 0;
  while (changes >> start >> length) {
    total += length;
    EXPECT_LE(start, (50ull << 30) / 512);
    EXPECT_GE(start + length, (50ull << 30) / 512 + 1);
  }
  EXPECT_GE(total, 1u);
  EXPECT_LE(total * 512, 32ull << 20);  // at most one block
  fs::remove_all(root);
}

}  // namespace
