#include "core/fdisk/virtual/virtual_disks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/file/unix/posix_dir.h"
#include "core/file/unix/posix_file.h"

namespace {

namespace fs = std::filesystem;
using VirtualDisks::CreateVhdxDisk;
using VirtualDisks::DiskRegistry;
using VirtualDisks::OpenVhdxDisk;
using Disk = std::shared_ptr<VirtualMachineDiskEx>;

constexpr uint64_t kSectors = 16 * 2048;  // 16 MiB

class VirtualDisksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root_ / "other");
    dir_ = std::make_shared<posix_dir>(root_.path);
    baseline_ = Registry().GetEntryCount();
  }
  void TearDown() override { EXPECT_EQ(Registry().GetEntryCount(), baseline_); }
  static DiskRegistry& Registry() { return *DiskRegistry::Instance(); }
  Disk Open(const std::shared_ptr<rio_dir>& dir, const std::u16string& name) {
    Disk disk;
    const Common::Error error = OpenVhdxDisk(dir, name, 3, disk);
    EXPECT_FALSE(error) << Common::DescribeErrorChain(error);
    return disk;
  }
  void Create(const std::u16string& name, uint64_t sectors = kSectors, bool fixed = false) {
    const Common::Error error = CreateVhdxDisk(*dir_, name, sectors, fixed);
    ASSERT_FALSE(error) << Common::DescribeErrorChain(error);
  }

  VhdxTest::TempDir root_;
  std::shared_ptr<rio_dir> dir_;
  size_t baseline_ = 0;
};

TEST_F(VirtualDisksTest, CreatesDynamicAndFixedDisksThatOpen) {
  Create(u"dynamic.vhdx", 10ull << 21);  // 10 GiB
  EXPECT_EQ(fs::file_size(root_ / "dynamic.vhdx"), 4u << 20);
  Create(u"fixed.vhdx", 6 * 2048, true);  // 6 MiB: two 4 MiB blocks
  EXPECT_EQ(fs::file_size(root_ / "fixed.vhdx"), (3u + 1u + 8u) << 20);

  Disk disk = Open(dir_, u"fixed.vhdx");
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->GetSectorCount(), 6u * 2048);
  EXPECT_EQ(disk->GetSectorSize(), 512u);

  // An independent reader agrees when it is installed (once the disk is
  // closed: an open disk keeps its file locked).
  disk.reset();
  if (std::system("qemu-img --version >/dev/null 2>&1") == 0) {
    for (const char* name : {"/dynamic.vhdx", "/fixed.vhdx"}) {
      const std::string check = "qemu-img check -q -f vhdx " + root_.path + name;
      EXPECT_EQ(std::system(check.c_str()), 0) << name;
    }
  }
}

TEST_F(VirtualDisksTest, CreatesDisksOfEitherSectorSize) {
  for (const uint32_t sectorSize : {512u, 4096u}) {
    const std::u16string name = sectorSize == 512 ? u"s512.vhdx" : u"s4096.vhdx";
    ASSERT_FALSE(CreateVhdxDisk(*dir_, name, 1000, false, sectorSize));
    Disk disk = Open(dir_, name);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->GetSectorSize(), sectorSize);
    EXPECT_EQ(disk->GetSectorCount(), 1000u);
  }
  EXPECT_EQ(CreateVhdxDisk(*dir_, u"s1024.vhdx", 1000, false, 1024).Code(), Code::kDiskSectorSizeNotSupported);
  EXPECT_FALSE(fs::exists(root_ / "s1024.vhdx"));
}

TEST_F(VirtualDisksTest, CreationRefusesBadSizesAndExistingFiles) {
  EXPECT_EQ(CreateVhdxDisk(*dir_, u"zero.vhdx", 0, false).Code(), Code::kDiskSizeNotSupported);
  EXPECT_EQ(CreateVhdxDisk(*dir_, u"huge.vhdx", (64ull << 31) + 1, false).Code(), Code::kDiskSizeNotSupported);
  EXPECT_FALSE(fs::exists(root_ / "zero.vhdx"));
  EXPECT_FALSE(fs::exists(root_ / "huge.vhdx"));

  std::ofstream(root_ / "taken.vhdx") << "keep me";
  const Common::Error taken = CreateVhdxDisk(*dir_, u"taken.vhdx", kSectors, false);
  EXPECT_EQ(taken.Code(), Code::kVhdxCreateFailed);
  EXPECT_TRUE(taken.Cause().IsFailure());
  EXPECT_EQ(fs::file_size(root_ / "taken.vhdx"), 7u);
  // The directory is usable afterwards.
  Create(u"next.vhdx");
}

TEST_F(VirtualDisksTest, OpeningsOfOneFileShareOneDiskWhateverTheirName) {
  Create(u"disk.vhdx");
  ASSERT_EQ(::link((root_ / "disk.vhdx").c_str(), (root_ / "link.vhdx").c_str()), 0);
  Disk a = Open(dir_, u"disk.vhdx");
  // Another directory object on the same folder, and a second name of the file.
  Disk b = Open(std::make_shared<posix_dir>(root_.path), u"disk.vhdx");
  Disk c = Open(dir_, u"link.vhdx");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(Registry().GetEntryCount(), baseline_ + 1);

  std::vector<uint8_t> written(512, 0xA5), read(512);
  ASSERT_FALSE(a->IO(Fdisk::kIoWrite, written.data(), 77, 1));
  ASSERT_FALSE(b->IO(Fdisk::kIoRead, read.data(), 77, 1));
  EXPECT_EQ(read, written);
  std::fill(read.begin(), read.end(), 0);
  ASSERT_FALSE(c->IO(Fdisk::kIoRead, read.data(), 77, 1));
  EXPECT_EQ(read, written);

  a.reset();
  b.reset();
  EXPECT_EQ(Registry().GetEntryCount(), baseline_ + 1);
  c.reset();
  EXPECT_EQ(Registry().GetEntryCount(), baseline_);
}

TEST_F(VirtualDisksTest, FilesInOtherDirectoriesAreOtherDisks) {
  Create(u"disk.vhdx");
  fs::copy_file(root_ / "disk.vhdx", root_ / "other/disk.vhdx");
  Disk top = Open(dir_, u"disk.vhdx");
  Disk other = Open(std::make_shared<posix_dir>(root_ / "other"), u"disk.vhdx");
  ASSERT_TRUE(top && other);
  EXPECT_EQ(Registry().GetEntryCount(), baseline_ + 2);
  std::vector<uint8_t> written(512, 0x3C), read(512, 0xFF);
  ASSERT_FALSE(top->IO(Fdisk::kIoWrite, written.data(), 0, 1));
  ASSERT_FALSE(other->IO(Fdisk::kIoRead, read.data(), 0, 1));
  EXPECT_EQ(read, std::vector<uint8_t>(512, 0));
}

// Files whose flushes are counted and can be made to fail.
struct FlushLog {
  int flushes = 0;
  bool fail = false;
};
class CountingFile final : public posix_file {
 public:
  CountingFile(int fd, std::shared_ptr<FlushLog> log) : posix_file(fd, true), log_(std::move(log)) {}
  bool Flush() override {
    ++log_->flushes;
    if (!log_->fail) return posix_file::Flush();
    SetError(Common::MakeError(Code::kFileWrite, Msg::kFileWriteError, HV_SITE("Flush")));
    return false;
  }

 private:
  std::shared_ptr<FlushLog> log_;
};
class CountingDir final : public posix_dir {
 public:
  CountingDir(const std::string& path, std::shared_ptr<FlushLog> log) : posix_dir(path), log_(std::move(log)) {}
  std::unique_ptr<rio_file> Open(const std::u16string& name, int flags, bool noLock, uint32_t mode) override {
    std::unique_ptr<rio_file> file = posix_dir::Open(name, flags, noLock, mode);
    if (!file) return file;
    return std::make_unique<CountingFile>(::dup(static_cast<posix_base_file&>(*file).descriptor()), log_);
  }

 private:
  std::shared_ptr<FlushLog> log_;
};

// One sector at the start of each 4 MiB block: every write allocates.
Common::Error WriteBlock(VirtualMachineDisk& disk, uint64_t block, uint8_t value) {
  std::vector<uint8_t> sector(512, value);
  return disk.IO(Fdisk::kIoWrite, sector.data(), block * 8192, 1);
}

TEST_F(VirtualDisksTest, FirstFillFlushesOnceAndReportsAFailedFlush) {
  Create(u"fill.vhdx");
  auto log = std::make_shared<FlushLog>();
  auto counting = std::make_shared<CountingDir>(root_.path, log);
  Disk disk;
  ASSERT_FALSE(OpenVhdxDisk(counting, u"fill.vhdx", 3, disk, nullptr, true));
  for (uint64_t block = 0; block < 2; ++block) ASSERT_FALSE(WriteBlock(*disk, block, uint8_t(block + 1)));
  EXPECT_EQ(log->flushes, 1);  // the header renewal only, not one per request
  // The flush mode is where the agent learns of a failure.
  log->fail = true;
  const Common::Error failed = disk->IO(Fdisk::kIoFlush, nullptr, 0, 0);
  EXPECT_EQ(failed.Code(), Code::kFileWrite) << Common::DescribeErrorChain(failed);
  log->fail = false;
  ASSERT_FALSE(disk->IO(Fdisk::kIoFlush, nullptr, 0, 0));
  // After a flush that worked, the fill is over: barriers again.
  int before = log->flushes;
  ASSERT_FALSE(WriteBlock(*disk, 2, 3));
  EXPECT_EQ(log->flushes, before + 1);
  disk.reset();

  // A normal opening of the same file orders its writes as ever.
  ASSERT_FALSE(OpenVhdxDisk(counting, u"fill.vhdx", 3, disk));
  before = log->flushes;
  ASSERT_FALSE(WriteBlock(*disk, 3, 4));
  EXPECT_EQ(log->flushes, before + 2);  // its header renewal and the barrier
  std::vector<uint8_t> sector(512, 9);
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, sector.data(), 3 * 8192 + 8, 1));
  disk.reset();

  // Everything written is there, for us and for an independent reader.
  std::vector<uint8_t> raw(kSectors * 512, 0);
  for (uint64_t block = 0; block < 4; ++block) std::memset(&raw[block * 8192 * 512], int(block + 1), 512);
  std::memset(&raw[(3 * 8192 + 8) * 512], 9, 512);
  disk = Open(dir_, u"fill.vhdx");
  std::vector<uint8_t> back(kSectors * 512);
  ASSERT_FALSE(disk->IO(Fdisk::kIoRead, back.data(), 0, kSectors));
  EXPECT_TRUE(back == raw);
  disk.reset();
  if (std::system("qemu-img --version >/dev/null 2>&1") == 0) {
    std::ofstream(root_ / "fill.raw", std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
    const std::string compare =
        "qemu-img compare -q -f vhdx -F raw " + root_ / "fill.vhdx" + " " + root_ / "fill.raw" + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(compare.c_str()), 0);
  }
}

TEST_F(VirtualDisksTest, HolderThatJoinsAFirstFillEndsIt) {
  Create(u"shared.vhdx");
  auto log = std::make_shared<FlushLog>();
  auto counting = std::make_shared<CountingDir>(root_.path, log);
  Disk filling, joining;
  ASSERT_FALSE(OpenVhdxDisk(counting, u"shared.vhdx", 3, filling, nullptr, true));
  ASSERT_FALSE(WriteBlock(*filling, 0, 1));
  // A joining holder whose end-of-fill flush fails is kept out.
  log->fail = true;
  EXPECT_EQ(OpenVhdxDisk(counting, u"shared.vhdx", 3, joining).Code(), Code::kFileWrite);
  EXPECT_FALSE(joining);
  log->fail = false;
  int before = log->flushes;
  ASSERT_FALSE(OpenVhdxDisk(counting, u"shared.vhdx", 3, joining));
  EXPECT_EQ(log->flushes, before + 1);  // what the fill wrote is made durable
  before = log->flushes;
  ASSERT_FALSE(WriteBlock(*filling, 1, 2));
  EXPECT_EQ(log->flushes, before + 1);
  // Another fill opener that joins does not start one on a shared disk.
  Disk late;
  ASSERT_FALSE(OpenVhdxDisk(counting, u"shared.vhdx", 3, late, nullptr, true));
  before = log->flushes;
  ASSERT_FALSE(WriteBlock(*late, 2, 3));
  EXPECT_EQ(log->flushes, before + 1);
  EXPECT_EQ(Registry().GetEntryCount(), baseline_ + 1);
}

TEST_F(VirtualDisksTest, FailedOpeningsRegisterNothing) {
  std::ofstream(root_ / "text.vhdx") << std::string(1 << 20, 'x');
  Disk disk;
  const Common::Error notVhdx = OpenVhdxDisk(dir_, u"text.vhdx", 3, disk);
  EXPECT_TRUE(notVhdx.IsFailure());
  EXPECT_NE(Common::DescribeErrorChain(notVhdx).find("Unknown format of the virtual disk."), std::string::npos)
      << Common::DescribeErrorChain(notVhdx);
  EXPECT_FALSE(disk);

  EXPECT_TRUE(OpenVhdxDisk(dir_, u"absent.vhdx", 3, disk).IsFailure());
  EXPECT_EQ(OpenVhdxDisk(nullptr, u"absent.vhdx", 3, disk).Code(), Code::kInvalidArguments);
  EXPECT_EQ(OpenVhdxDisk(dir_, u"", 3, disk).Code(), Code::kInvalidArguments);
  EXPECT_FALSE(disk);
  EXPECT_EQ(Registry().GetEntryCount(), baseline_);
  // The failures left no error behind in the directory object.
  EXPECT_FALSE(dir_->Failed());
}

TEST_F(VirtualDisksTest, ThreadsOpeningAndReleasingRealFilesLeaveTheRegistryAsItWas) {
  for (int i = 0; i < 3; ++i) Create(u"t" + std::u16string(1, char16_t(u'0' + i)) + u".vhdx");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto dir = std::make_shared<posix_dir>(root_.path);  // one directory object per thread
      for (int i = 0; i < 40; ++i) {
        const std::u16string name = u"t" + std::u16string(1, char16_t(u'0' + (i + t) % 3)) + u".vhdx";
        Disk disk;
        if (OpenVhdxDisk(dir, name, 3, disk) || !disk || disk->GetSectorCount() != kSectors) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
