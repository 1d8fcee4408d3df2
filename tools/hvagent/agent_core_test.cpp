// The agent's parts that do not need the plug-in: the command line, runs of
// zeros, the repository's manifests and points, and copying sectors between
// a disk and a point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "../../tests/thrown.h"
#include "agent_error.h"
#include "disk_copy.h"
#include "io_buffer.h"
#include "options.h"
#include "progress.h"
#include "repository.h"

namespace Hvagent {
namespace {

namespace fs = std::filesystem;
using HvTest::Thrown;

// A disk in memory that answers changed sectors from a list it is given.
class MemoryDisk final : public VirtualMachineDisk {
 public:
  MemoryDisk(uint32_t sectorSize, uint64_t sectors) : sectorSize_(sectorSize), data_(sectorSize * sectors) {}
  uint32_t GetSectorSize() const override { return sectorSize_; }
  uint64_t GetSectorCount() const override { return data_.size() / sectorSize_; }
  const Fdisk::Geometry& GetGeometry() const override { return geometry_; }
  Common::Error IO(uint32_t mode, void* buffer, uint64_t first, uint64_t count) override {
    if (first + count > GetSectorCount()) return Common::MakeError(kFailed, u"out of range", HV_SITE("IO"));
    if (mode == Fdisk::kIoWrite && writesLeft-- == 0) return Common::MakeError(kIoFailed, u"no room", HV_SITE("IO"));
    uint8_t* at = data_.data() + first * sectorSize_;
    if (mode == Fdisk::kIoRead) std::memcpy(buffer, at, count * sectorSize_);
    if (mode == Fdisk::kIoWrite) std::memcpy(at, buffer, count * sectorSize_);
    return Common::Success();
  }
  Common::Error GetPlatformHandle(intptr_t&) override { return Common::Success(); }
  Common::Error GetCurrentChangeID(std::u16string& id) override {
    id.assign(1, u'1');
    return Common::Success();
  }
  Common::Error GetChangedSectors(const std::u16string&, const Fdisk::SectorRange&,
                                  std::vector<Fdisk::SectorRange>& changed) override {
    for (const Extent& e : changes) changed.push_back({e.start, e.length});
    return Common::Success();
  }
  uint32_t GetAdapterType() const override { return 3; }

  std::vector<Extent> changes;
  uint64_t writesLeft = UINT64_MAX;  // the write after these fails
  std::vector<uint8_t>& Bytes() { return data_; }

 private:
  uint32_t sectorSize_;
  Fdisk::Geometry geometry_;
  std::vector<uint8_t> data_;
};

class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvagentXXXXXX";
    root_ = ::mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string root_;
};

TEST(CommandLine, ParsesCommandsAndRefusesBadUsage) {
  CommandLine line = ParseCommandLine({"add-disk", "m.vmc", "d.vhdx", "--size", "2G", "--bus", "scsi"});
  EXPECT_EQ(line.args, (std::vector<std::string>{"m.vmc", "d.vhdx"}));
  EXPECT_EQ(ParseSize(*line.Get("--size")), 2ull << 30);
  EXPECT_EQ(line.Number("--controller", 7, 0, 3), 7u);
  EXPECT_EQ(ParseSize("512"), 512u);
  EXPECT_EQ(ParseSize("3T"), 3ull << 40);
  EXPECT_TRUE(ParseCommandLine({"backup", "m.vmc", "repo", "--full"}).Has("--full"));
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"backup", "m.vmc"},                        // too few arguments
      {"backup", "m.vmc", "r", "x"},              // too many
      {"add-disk", "m.vmc", "d.vhdx"},            // --size is required
      {"add-disk", "m.vmc", "d.vhdx", "--size"},  // without its value
      {"points", "r", "--full"},                  // another command's option
      {"points", "r", "--json", "--json"},
  };
  for (const auto& argv : bad) EXPECT_THROW(ParseCommandLine(argv), UsageError) << ::testing::PrintToString(argv);
  for (const char* size : {"", "0", "K", "-1", "1.5G", "16E", "99999999999T", "1X"}) {
    EXPECT_THROW(ParseSize(size), UsageError) << size;
  }
  EXPECT_THROW(ParseCommandLine({"restore", "r", "l", "n", "--point", "x"}).Number("--point", 0, 1, 9), UsageError);
}

TEST(ZeroRuns, SplitsAtEverySectorThatChangesKind) {
  std::vector<uint8_t> buffer(8 * 512);
  buffer[512 * 2 + 511] = 1;  // the last byte of sector 2
  buffer[512 * 3] = 1;
  buffer[512 * 7] = 1;
  std::vector<std::tuple<uint64_t, uint64_t, bool>> runs;
  ForEachRun(buffer.data(), 100, 8, 512, [&](uint64_t s, uint64_t n, bool z) { runs.emplace_back(s, n, z); });
  EXPECT_EQ(runs, (std::vector<std::tuple<uint64_t, uint64_t, bool>>{
                      {100, 2, true}, {102, 2, false}, {104, 3, true}, {107, 1, false}}));
  std::vector<Extent> merged;
  AppendExtent(merged, {0, 2});
  AppendExtent(merged, {2, 3});
  AppendExtent(merged, {9, 1});
  EXPECT_EQ(merged, (std::vector<Extent>{{0, 5}, {9, 1}}));
}

Manifest SampleManifest(uint64_t point, uint64_t base) {
  Manifest m;
  m.point = point;
  m.base = base;
  m.kind = base ? "incremental" : "full";
  m.time = UtcNow();
  m.vmcPath = "/vms/a/a.vmc";
  m.vmc = std::string("\xff\xfe<\0p\0>\0", 8);  // UTF-16 bytes survive
  m.properties = {{"Name", "a"}, {"Memory", "256"}};
  DiskRecord d;
  d.bus = "scsi";
  d.controller = 1;
  d.device = 14;
  d.file = "/vms/a/d.vhdx";
  d.fileName = "d.vhdx";
  d.sectorSize = 4096;
  d.sectors = 1000;
  d.changeId = std::to_string(point);
  d.since = base ? std::to_string(base) : "*";
  d.extents = {{0, 1}, {10, 2}};
  d.zeroRuns = {{1, 9}};
  d.dataFile = "disk-0.data";
  d.dataBytes = 3 * 4096;
  d.sha256 = "x";
  d.xxh3 = "y";
  m.disks.push_back(d);
  return m;
}

TEST(Manifests, RoundTripAndRefuseWhatDoesNotAddUp) {
  Manifest m = SampleManifest(2, 1);
  Manifest back = ManifestFromJson(ManifestToJson(m), "m");
  EXPECT_EQ(back.vmc, m.vmc);
  EXPECT_EQ(back.properties, m.properties);
  ASSERT_EQ(back.disks.size(), 1u);
  EXPECT_EQ(back.disks[0].extents, m.disks[0].extents);
  EXPECT_EQ(back.disks[0].zeroRuns, m.disks[0].zeroRuns);
  EXPECT_EQ(back.disks[0].Place(), "scsi:1:14");
  EXPECT_EQ(back.disks[0].xxh3, "y");  // else restores would fall back to SHA-256 unseen
  EXPECT_EQ(back.StoredBytes(), 3u * 4096);

  const std::function<void(Manifest&)> breakages[] = {
      [](Manifest& b) { b.disks[0].dataBytes += 1; },  // the data file would not hold the extents
      [](Manifest& b) {
        b.disks[0].extents = {{10, 2}, {0, 1}};
      },  // out of order
      [](Manifest& b) {
        b.disks[0].extents = {{999, 2}};
      },  // past the disk's end
      [](Manifest& b) { b.disks[0].fileName = "../escape.vhdx"; },
      [](Manifest& b) { b.kind = "full"; },  // a full point builds on nothing
  };
  for (size_t i = 0; i < std::size(breakages); ++i) {
    Manifest bad = m;
    breakages[i](bad);
    EXPECT_EQ(HvTest::ThrownCode([&] { ManifestFromJson(ManifestToJson(bad), "bad"); }), kRepositoryDamaged) << i;
  }
  EXPECT_THROW(ManifestFromJson("{\"format\":", "cut"), Common::Error);
}

void WritePoint(Repository& repo, const Manifest& m, const std::string& data) {
  PointWriter writer(repo, m.point);
  DataWriter out(writer.PathOf("disk-0.data"));
  out.Write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  Manifest copy = m;
  Digests digests = out.Close();
  copy.disks[0].sha256 = digests.sha256;
  copy.disks[0].xxh3 = digests.xxh3;
  writer.Commit(copy);
}

TEST_F(Folder, PointsAppearWholeAndChainsNeedEveryLink) {
  const std::string data(3 * 4096, 'd');
  {
    Repository repo(root_ + "/repo", true, true);
    WritePoint(repo, SampleManifest(1, 0), data);
    WritePoint(repo, SampleManifest(2, 1), data);
    WritePoint(repo, SampleManifest(3, 2), data);
    // A run that fails before committing leaves nothing behind.
    {
      PointWriter abandoned(repo, 4);
      DataWriter(abandoned.PathOf("disk-0.data")).Write(reinterpret_cast<const uint8_t*>("x"), 1);
    }
    EXPECT_EQ(repo.Points(), (std::vector<uint64_t>{1, 2, 3}));
    ASSERT_EQ(repo.Chain(3).size(), 3u);
    EXPECT_EQ(repo.Chain(3)[0].point, 1u);
    for (uint64_t p : repo.Points()) EXPECT_NO_THROW(repo.VerifyData(repo.Load(p)));
    // A second writer is refused while the first holds the lock.
    EXPECT_THROW(Repository(root_ + "/repo", false, true), Common::Error);
  }
  // A killed run's temporary folder is removed by the next writer.
  fs::create_directory(root_ + "/repo/.incomplete-99999");
  { Repository again(root_ + "/repo", false, true); }
  EXPECT_FALSE(fs::exists(root_ + "/repo/.incomplete-99999"));

  Repository repo(root_ + "/repo", false, false);
  // Verification holds the data to both digests, as a restore reads XXH3.
  Manifest wrongXxh3 = repo.Load(3);
  wrongXxh3.disks[0].xxh3[0] ^= 1;
  EXPECT_EQ(HvTest::ThrownCode([&] { repo.VerifyData(wrongXxh3); }), kChecksumMismatch);
  // One changed byte in a data file: named by the verification.
  const std::string name = repo.PointDir(2) + "/disk-0.data";
  { std::fstream(name, std::ios::in | std::ios::out | std::ios::binary).put('e'); }
  const Common::Error changed = Thrown([&] { repo.VerifyData(repo.Load(2)); });
  EXPECT_EQ(changed.Code(), kChecksumMismatch);
  EXPECT_NE(DescribeChain(changed).find(name), std::string::npos);
  // A changed manifest is refused by its own checksum.
  { std::ofstream(repo.PointDir(1) + "/manifest.json", std::ios::app) << " "; }
  EXPECT_THROW(repo.Load(1), Common::Error);
  // A point removed from the middle: the later one cannot be restored.
  fs::remove_all(repo.PointDir(2));
  EXPECT_EQ(repo.Points(), (std::vector<uint64_t>{1, 3}));
  const std::string broken = DescribeChain(Thrown([&] { repo.Chain(3); }));
  EXPECT_NE(broken.find("point 2"), std::string::npos) << broken;
}

// Backs the ranges of a disk up into a data file; the record describes it.
DiskRecord Backup(MemoryDisk& disk, const std::vector<Extent>& ranges, const std::string& path, Totals& totals) {
  DiskRecord record;
  record.sectorSize = disk.GetSectorSize();
  record.sectors = disk.GetSectorCount();
  Progress progress("backup", 0, stderr, false);
  DataWriter writer(path);
  BackupSectors(disk, ranges, writer, record, progress, totals);
  record.dataBytes = writer.Bytes();
  Digests digests = writer.Close();
  record.sha256 = digests.sha256;
  record.xxh3 = digests.xxh3;
  return record;
}

// A full buffer is hashed on a thread of its own while the next one fills:
// the digest must still be that of the file's bytes in order, across
// buffer boundaries and writes of every size (the thread sanitizer build
// runs this too).
TEST_F(Folder, DataWriterDigestIsThatOfTheBytesInOrder) {
  const std::string path = root_ + "/d.data";
  std::mt19937 random(3);
  std::string all;
  DataWriter writer(path);
  for (size_t size : {size_t{1}, size_t{4095}, size_t{4} << 20, size_t{3} << 20, size_t{12345}, size_t{9} << 20}) {
    std::string piece(size, '\0');
    for (char& c : piece) c = static_cast<char>(random());
    writer.Write(reinterpret_cast<const uint8_t*>(piece.data()), size);
    all += piece;
  }
  const Digests digests = writer.Close();
  EXPECT_EQ(writer.Bytes(), all.size());
  Sha256 sha256;
  sha256.Update(all.data(), all.size());
  EXPECT_EQ(digests.sha256, sha256.HexDigest());
  Xxh3 xxh3;
  xxh3.Update(all.data(), all.size());
  EXPECT_EQ(digests.xxh3, xxh3.HexDigest());
  std::ifstream in(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(written == all);
}

// A restore reads pieces of any size past the page cache into buffers of
// their size: a small buffer must be aligned for that too, or every such
// read is refused and quietly falls back to the cache.
TEST_F(Folder, SmallBuffersTakeDirectReads) {
  const std::string path = root_ + "/small.data";
  std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  if (!SetDirectIo(fd, true)) {
    ::close(fd);
    GTEST_SKIP() << "no direct reads on this file system";
  }
  for (size_t size : {size_t{4096}, size_t{8192}}) {
    IoBuffer buffer(size);
    EXPECT_EQ(::pread(fd, buffer.data(), size, 0), static_cast<ssize_t>(size)) << size << ": " << std::strerror(errno);
  }
  ::close(fd);
}

TEST_F(Folder, SectorsSurviveABackupAndARestore) {
  for (uint32_t sectorSize : {512u, 4096u}) {
    MemoryDisk source(sectorSize, 3000);
    std::mt19937 random(sectorSize);
    // Data, a zero gap inside a changed range, and data up to the last sector.
    for (uint64_t s : {0ull, 1ull, 5ull, 2047ull, 2048ull, 2999ull}) {
      for (uint32_t i = 0; i < sectorSize; ++i) source.Bytes()[s * sectorSize + i] = static_cast<uint8_t>(random() | 1);
    }
    const std::string path = root_ + "/" + std::to_string(sectorSize) + ".data";
    Progress progress("backup", 0, stderr, false);
    Totals totals;
    DiskRecord record = Backup(source, {{0, 10}, {2000, 1000}}, path, totals);
    EXPECT_EQ(record.extents, (std::vector<Extent>{{0, 2}, {5, 1}, {2047, 2}, {2999, 1}}));
    EXPECT_EQ(record.zeroRuns, (std::vector<Extent>{{2, 3}, {6, 4}, {2000, 47}, {2049, 950}}));
    EXPECT_EQ(totals.stored, 6ull * sectorSize);
    EXPECT_EQ(totals.read, 1010ull * sectorSize);
    EXPECT_EQ(fs::file_size(path), 6ull * sectorSize);

    // Restored onto a disk that held other data there: zero runs are written
    // too. A record without XXH3 (an older point) is checked by its SHA-256.
    DiskRecord older = record;
    older.xxh3.clear();
    for (const DiskRecord* r : {&record, &older}) {
      MemoryDisk target(sectorSize, 3000);
      std::fill(target.Bytes().begin(), target.Bytes().begin() + 10 * sectorSize, 0xEE);
      ApplyRecord(target, *r, path, true, progress, totals);
      EXPECT_TRUE(target.Bytes() == source.Bytes());
    }
    older.sha256[0] ^= 1;
    MemoryDisk target(sectorSize, 3000);
    EXPECT_EQ(HvTest::ThrownCode([&] { ApplyRecord(target, older, path, false, progress, totals); }),
              kChecksumMismatch);
    // One changed byte in the last extent is found once that extent is read,
    // and named.
    {
      std::fstream data(path, std::ios::in | std::ios::out | std::ios::binary);
      data.seekp(static_cast<std::streamoff>(5 * sectorSize + 7));
      data.put('\x01');
    }
    auto refusal = [&] { return Thrown([&] { ApplyRecord(target, record, path, false, progress, totals); }); };
    Common::Error error = refusal();
    EXPECT_EQ(error.Code(), kChecksumMismatch);
    EXPECT_NE(DescribeChain(error).find(path), std::string::npos) << DescribeChain(error);
    // A data file cut short is refused, and so is one with more than its extents.
    fs::resize_file(path, 5ull * sectorSize);
    EXPECT_EQ(refusal().Code(), kChecksumMismatch);
    record.extents.pop_back();
    record.dataBytes -= sectorSize;
    fs::resize_file(path, 6ull * sectorSize);
    EXPECT_EQ(refusal().Code(), kChecksumMismatch);
  }
}

// Small pieces make the restore hand buffers between its reader thread and
// the writer many times (the thread sanitizer build runs this too).
TEST_F(Folder, RestoreInManyPiecesWritesEverySectorAndStopsCleanly) {
  constexpr uint64_t kSectors = 4096;
  MemoryDisk source(512, kSectors);
  std::mt19937 random(7);
  for (uint64_t s = 0; s < kSectors; ++s) {
    if (s % 1000 < 700) std::memset(&source.Bytes()[s * 512], static_cast<int>(random() | 1), 512);
  }
  const std::string path = root_ + "/disk.data";
  Progress progress("restore", 0, stderr, false);
  Totals totals;
  const DiskRecord record = Backup(source, {{0, kSectors}}, path, totals);
  ASSERT_EQ(record.extents.size(), 5u);
  // The writeback runs on the reader thread; one of a file that cannot be
  // opened does nothing.
  const Writeback writeback(path), missing(root_ + "/absent");
  for (uint64_t pieceBytes : {512ull, 3 * 4096ull, 1ull << 20}) {
    for (const Writeback* w : {static_cast<const Writeback*>(nullptr), &writeback, &missing}) {
      MemoryDisk target(512, kSectors);
      ApplyRecord(target, record, path, false, progress, totals, pieceBytes, w);
      EXPECT_TRUE(target.Bytes() == source.Bytes()) << pieceBytes;
    }
  }
  // A write that fails half-way stops the restore with its error while the
  // next piece is being read.
  MemoryDisk full(512, kSectors);
  full.writesLeft = 20;
  const std::string failed =
      DescribeChain(Thrown([&] { ApplyRecord(full, record, path, false, progress, totals, 4096); }));
  EXPECT_NE(failed.find("no room"), std::string::npos) << failed;
  // A changed byte in the last piece is found once the whole file was read.
  {
    std::fstream data(path, std::ios::in | std::ios::out | std::ios::binary);
    data.seekp(static_cast<std::streamoff>(record.dataBytes - 1));
    data.put('\x02');
  }
  MemoryDisk target(512, kSectors);
  EXPECT_EQ(HvTest::ThrownCode([&] { ApplyRecord(target, record, path, false, progress, totals, 4096); }),
            kChecksumMismatch);
}

TEST(ProgressLine, DrawsAtMostTenTimesASecondAndOnlyWhenLive) {
  std::FILE* sink = std::tmpfile();
  {
    Progress live("backup", 1000, sink, true);
    auto t = Progress::Clock::now();
    for (int i = 0; i < 100; ++i) live.Advance(10, t + std::chrono::milliseconds(10 * i));  // one second
    EXPECT_LE(live.Draws(), 10);
    EXPECT_GE(live.Draws(), 9);
    Progress quiet("backup", 1000, sink, false);
    for (int i = 0; i < 100; ++i) quiet.Advance(10, t + std::chrono::seconds(i));
    EXPECT_EQ(quiet.Draws(), 0);
    std::string line = live.Line(t + std::chrono::seconds(2));
    EXPECT_NE(line.find("1000 B of 1000 B (100%)"), std::string::npos) << line;
    Totals totals{2000000, 1000000, 3, 4096};
    std::string summary = live.Summary(totals, t + std::chrono::seconds(1));
    EXPECT_NE(summary.find("3 zero runs skipped (4.0 KiB)"), std::string::npos) << summary;
  }  // the lines are cleared while sink is open
  std::fclose(sink);
}

}  // namespace
}  // namespace Hvagent
