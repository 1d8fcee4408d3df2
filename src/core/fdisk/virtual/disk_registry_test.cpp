#include "core/fdisk/virtual/disk_registry.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/wise_disk.h"

namespace {

using VirtualDisks::DiskRegistry;
using VirtualDisks::SharedDisk;

constexpr int kFiles = 4;

// Live disks per file; more than one at a time means the registry opened a
// file twice.
struct Files {
  std::array<std::atomic<int>, kFiles> live{};
  std::array<std::atomic<int>, kFiles> opened{};
  std::atomic<int> doubleOpens{0};
};

struct FakeLocation final : VirtualDisks::DiskLocation {
  explicit FakeLocation(int file) : file(file) {}
  bool SameFile(const DiskLocation& other) const override {
    return static_cast<const FakeLocation&>(other).file == file;
  }
  int file;
};

// A disk of 16 sectors of 512 bytes kept in memory.
class FakeDisk final : public VirtualWareRaw::VirtualMachineDiskExBase {
 public:
  FakeDisk(Files& files, int file) : files_(files), file_(file) {
    if (files_.live[file_]++ != 0) ++files_.doubleOpens;
    ++files_.opened[file_];
  }
  ~FakeDisk() override { --files_.live[file_]; }
  uint32_t GetSectorSize() const override { return 512; }
  uint64_t GetSectorCount() const override { return 16; }
  const Fdisk::Geometry& GetGeometry() const override { return geometry_; }
  Common::Error IO(uint32_t mode, void* buffer, uint64_t first, uint64_t count) override {
    if (mode == Fdisk::kIoRead) std::memcpy(buffer, bytes_.data() + first * 512, count * 512);
    if (mode == Fdisk::kIoWrite) std::memcpy(bytes_.data() + first * 512, buffer, count * 512);
    return Common::Success();
  }
  Common::Error GetPlatformHandle(intptr_t&) override { return Common::Success(); }
  Common::Error GetCurrentChangeID(std::u16string& id) override {
    id = u"file" + std::u16string(1, char16_t(u'0' + file_));
    return Common::Success();
  }
  Common::Error GetChangedSectors(const std::u16string&, const Fdisk::SectorRange&,
                                  std::vector<Fdisk::SectorRange>&) override {
    return Common::Success();
  }
  uint32_t GetAdapterType() const override { return 3; }

 private:
  Files& files_;
  int file_;
  Fdisk::Geometry geometry_;
  std::array<uint8_t, 16 * 512> bytes_{};
};

DiskRegistry::Opener OpenerFor(Files& files, int file) {
  return [&files, file](SharedDisk& disk) {
    disk = SharedDisk(new FakeDisk(files, file));
    return Common::Success();
  };
}

Common::Error Open(const std::shared_ptr<DiskRegistry>& registry, Files& files, int file,
                   std::shared_ptr<VirtualMachineDiskEx>& disk) {
  return VirtualDisks::AcquireWiseDisk(registry, std::make_shared<FakeLocation>(file), OpenerFor(files, file), disk);
}

TEST(DiskRegistryTest, TwoOpeningsOfOneFileShareOneDisk) {
  auto registry = std::make_shared<DiskRegistry>();
  Files files;
  std::shared_ptr<VirtualMachineDiskEx> a, b;
  ASSERT_TRUE(Open(registry, files, 0, a).IsSuccess());
  ASSERT_TRUE(Open(registry, files, 0, b).IsSuccess());
  EXPECT_NE(a, b);
  EXPECT_EQ(files.opened[0], 1);
  EXPECT_EQ(registry->GetEntryCount(), 1u);

  std::vector<uint8_t> written(1024, 0x5A), read(1024);
  ASSERT_TRUE(a->IO(Fdisk::kIoWrite, written.data(), 3, 2).IsSuccess());
  ASSERT_TRUE(b->IO(Fdisk::kIoRead, read.data(), 3, 2).IsSuccess());
  EXPECT_EQ(read, written);

  // Another file gets a disk of its own.
  std::shared_ptr<VirtualMachineDiskEx> other;
  ASSERT_TRUE(Open(registry, files, 1, other).IsSuccess());
  EXPECT_EQ(registry->GetEntryCount(), 2u);
  std::u16string idA, idOther;
  a->GetCurrentChangeID(idA);
  other->GetCurrentChangeID(idOther);
  EXPECT_NE(idA, idOther);
  other.reset();
  EXPECT_EQ(registry->GetEntryCount(), 1u);

  // The disk stays open while either holder lives.
  a.reset();
  EXPECT_EQ(files.live[0], 1);
  EXPECT_EQ(registry->GetEntryCount(), 1u);
  b.reset();
  EXPECT_EQ(files.live[0], 0);
  EXPECT_EQ(registry->GetEntryCount(), 0u);
  // Opening again after the last holder went opens a fresh disk.
  ASSERT_TRUE(Open(registry, files, 0, a).IsSuccess());
  EXPECT_EQ(files.opened[0], 2);
}

TEST(DiskRegistryTest, WrapperForwardsEverySlot) {
  auto registry = std::make_shared<DiskRegistry>();
  Files files;
  std::shared_ptr<VirtualMachineDiskEx> disk;
  ASSERT_TRUE(Open(registry, files, 2, disk).IsSuccess());
  EXPECT_EQ(disk->GetSectorSize(), 512u);
  EXPECT_EQ(disk->GetSectorCount(), 16u);
  EXPECT_EQ(disk->GetAdapterType(), 3u);
  std::u16string id;
  ASSERT_TRUE(disk->GetCurrentChangeID(id).IsSuccess());
  EXPECT_EQ(id, u"file2");
  // The fake has no metadata: the base's answers come through.
  EXPECT_EQ(disk->GetMetadata({u"x", 1}, *std::make_unique<std::vector<uint8_t>>()).Code(), Code::kNotImplemented);
}

TEST(DiskRegistryTest, FailedOpeningRegistersNothingAndDisksOutliveTheRegistry) {
  auto registry = std::make_shared<DiskRegistry>();
  Files files;
  std::shared_ptr<VirtualMachineDiskEx> disk;
  const auto failing = [](SharedDisk&) {
    return Common::MakeError(Code::kVhdxUnknownFormat, Msg::kVhdxUnknownFormat, HV_SITE("Open"));
  };
  const Common::Error error = VirtualDisks::AcquireWiseDisk(registry, std::make_shared<FakeLocation>(0), failing, disk);
  EXPECT_EQ(error.Code(), Code::kVhdxUnknownFormat);
  EXPECT_FALSE(disk);
  EXPECT_EQ(registry->GetEntryCount(), 0u);

  // A thrown error is returned as well; an opener that yields no disk fails.
  const auto throwing = [](SharedDisk&) -> Common::Error {
    HV_THROW(Code::kVhdxUnknownFormat, Msg::kVhdxUnknownFormat, "Open");
  };
  EXPECT_EQ(VirtualDisks::AcquireWiseDisk(registry, std::make_shared<FakeLocation>(0), throwing, disk).Code(),
            Code::kVhdxUnknownFormat);
  const auto empty = [](SharedDisk&) { return Common::Success(); };
  EXPECT_TRUE(VirtualDisks::AcquireWiseDisk(registry, std::make_shared<FakeLocation>(0), empty, disk).IsFailure());
  EXPECT_EQ(registry->GetEntryCount(), 0u);

  // The file opens normally afterwards.
  ASSERT_TRUE(Open(registry, files, 0, disk).IsSuccess());
  EXPECT_EQ(registry->GetEntryCount(), 1u);
  // The disk's handle keeps the registry alive, so releasing after it works.
  registry.reset();
  disk.reset();
  EXPECT_EQ(files.live[0], 0);
}

// Threads open and release the same and different files at random; every
// opening must see the data of its file, no file may be open twice, and the
// registry must end empty.
TEST(DiskRegistryTest, ConcurrentOpeningAndReleasingKeepsTheRegistryConsistent) {
  auto registry = std::make_shared<DiskRegistry>();
  Files files;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      uint32_t seed = 12345u + t;
      std::vector<std::shared_ptr<VirtualMachineDiskEx>> held;
      for (int i = 0; i < 3000; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int file = (seed >> 16) % kFiles;
        if (held.size() < 3 && (seed & 1)) {
          std::shared_ptr<VirtualMachineDiskEx> disk;
          if (Open(registry, files, file, disk).IsFailure()) ++failures;
          std::u16string id;
          disk->GetCurrentChangeID(id);
          if (id != u"file" + std::u16string(1, char16_t(u'0' + file))) ++failures;
          held.push_back(std::move(disk));
        } else if (!held.empty()) {
          held.erase(held.begin() + (seed >> 8) % held.size());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(files.doubleOpens, 0);
  EXPECT_EQ(registry->GetEntryCount(), 0u);
  for (int file = 0; file < kFiles; ++file) EXPECT_EQ(files.live[file], 0);
}

}  // namespace
