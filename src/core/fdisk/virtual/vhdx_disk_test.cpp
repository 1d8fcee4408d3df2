#include "core/fdisk/virtual/vhdx_disk.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/common/guid.h"
#include "core/fdisk/virtual/disk_parameters.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace {

using VirtualDisks::TrackerRef;
constexpr uint64_t kSectors = 64 * 2048;  // 64 MiB
constexpr uint32_t kAdapter = 3;

// The sectors changed since `id` within `range`, as (start, length) pairs.
std::vector<std::pair<uint64_t, uint64_t>> Changed(VirtualMachineDiskEx& disk, const std::u16string& id,
                                                   Fdisk::SectorRange range) {
  std::vector<Fdisk::SectorRange> changed;
  EXPECT_FALSE(disk.GetChangedSectors(id, range, changed));
  std::vector<std::pair<uint64_t, uint64_t>> pairs;
  for (const Fdisk::SectorRange& r : changed) pairs.emplace_back(r.start, r.length);
  return pairs;
}

class VhdxDiskTest : public ::testing::Test {
 protected:
  void SetUp() override { VhdxTest::WriteWholeFile(Path(), VhdxTest::MakeDiskImage(kSectors * 512)); }

  std::string Path() const { return dir_ / "disk.vhdx"; }
  std::u16string State() const { return Common::Utf8ToUtf16(dir_ / "tracker"); }

  Fdisk::SharedPtr<VirtualMachineDiskEx> Open(const TrackerRef& tracker = nullptr) {
    auto impl = std::make_unique<VirtualDisks::VhdxDiskImpl>(kAdapter);
    impl->SetDisk(Vhdx::OpenDisk(Path(), true, tracker));
    Fdisk::SharedPtr<VirtualMachineDiskEx> disk;
    EXPECT_FALSE(VirtualDisks::MakeVhdxDisk(std::move(impl), disk));
    return disk;
  }

  VhdxTest::TempDir dir_;
};

TEST_F(VhdxDiskTest, ReportsSizesAndTheAdaptersGeometry) {
  auto disk = Open();
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->GetSectorSize(), 512u);
  EXPECT_EQ(disk->GetSectorCount(), kSectors);
  EXPECT_EQ(disk->GetAdapterType(), kAdapter);
  const Fdisk::Geometry expected = VirtualDisks::ComputeGeometry(kAdapter, kSectors);
  EXPECT_EQ(disk->GetGeometry().sectorsPerTrack, expected.sectorsPerTrack);
  EXPECT_EQ(disk->GetGeometry().highestHead, expected.highestHead);
  EXPECT_EQ(disk->GetGeometry().cylinders, expected.cylinders);
  intptr_t handle = 1;
  EXPECT_EQ(disk->GetPlatformHandle(handle).Code(), Code::kCodeNotImplemented);
}

TEST_F(VhdxDiskTest, WritesReadBackAndErrorsAreReturned) {
  auto disk = Open();
  std::vector<uint8_t> written(3 * 512), read(3 * 512, 0xEE);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 13);
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, written.data(), kSectors - 3, 3));
  ASSERT_FALSE(disk->IO(Fdisk::kIoRead, read.data(), kSectors - 3, 3));
  EXPECT_EQ(read, written);

  // Beyond the end: the engine's error comes back as a value, nothing is thrown.
  EXPECT_TRUE(disk->IO(Fdisk::kIoRead, read.data(), kSectors - 2, 3).IsFailure());
  EXPECT_TRUE(disk->IO(Fdisk::kIoWrite, written.data(), kSectors, 1).IsFailure());
  EXPECT_EQ(disk->IO(Fdisk::kIoRead, nullptr, 0, 1).Code(), Code::kInvalidArguments);
  // Modes other than read and write do nothing.
  std::fill(read.begin(), read.end(), 0xEE);
  EXPECT_FALSE(disk->IO(7, read.data(), 0, 1));
  EXPECT_EQ(read[0], 0xEE);

  // Reopened from the file, the data is still there.
  disk.reset();
  disk = Open();
  ASSERT_FALSE(disk->IO(Fdisk::kIoRead, read.data(), kSectors - 3, 3));
  EXPECT_EQ(read, written);
}

TEST_F(VhdxDiskTest, FailedOpeningReturnsTheErrorState) {
  auto impl = std::make_unique<VirtualDisks::VhdxDiskImpl>(kAdapter);
  impl->OpenDisk(nullptr);  // never initialized: no directory
  EXPECT_EQ(impl->GetErrorState().Code(), Code::kInvalidArguments);
  EXPECT_EQ(impl->GetSectorCount(), 0u);
  Fdisk::SharedPtr<VirtualMachineDiskEx> disk;
  EXPECT_EQ(VirtualDisks::MakeVhdxDisk(std::move(impl), disk).Code(), Code::kInvalidArguments);
  EXPECT_FALSE(disk);
}

TEST_F(VhdxDiskTest, UserMetadataIsListedReadAndWritten) {
  auto disk = Open();
  std::vector<Fdisk::MetadataKey> keys;
  ASSERT_FALSE(disk->GetMetadataKeys(keys));
  // The system items users may see; file parameters and parent locator stay hidden.
  std::vector<std::u16string> ids;
  for (const auto& key : keys) ids.push_back(key.id);
  const std::u16string fileParameters = Common::GuidToWideText(Vhdx::kFileParametersGuid);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), fileParameters), 0);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), Common::GuidToWideText(Vhdx::kVirtualDiskSizeGuid)), 1);

  std::vector<uint8_t> value;
  ASSERT_FALSE(disk->GetMetadata({Common::GuidToWideText(Vhdx::kVirtualDiskSizeGuid), 6}, value));
  ASSERT_EQ(value.size(), 8u);
  EXPECT_EQ(value[2], (kSectors * 512) >> 16 & 0xFF);

  const Fdisk::MetadataKey user{u"0f2a1b3c-4d5e-4f60-8a9b-0c1d2e3f4a5b", 1};
  const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
  bool canSet = false;
  ASSERT_FALSE(disk->CanSetMetadata(user, canSet));
  EXPECT_TRUE(canSet);
  ASSERT_FALSE(disk->SetMetadata(user, payload));
  value.clear();
  ASSERT_FALSE(disk->GetMetadata(user, value));
  EXPECT_EQ(value, payload);
  ASSERT_FALSE(disk->GetMetadataKeys(keys));
  EXPECT_EQ(keys.size(), ids.size() + 1);
  EXPECT_EQ(keys.back().flags, 1u);
  EXPECT_EQ(keys.back().id, u"0F2A1B3C-4D5E-4F60-8A9B-0C1D2E3F4A5B");

  // Survives reopening.
  disk.reset();
  disk = Open();
  value.clear();
  ASSERT_FALSE(disk->GetMetadata(user, value));
  EXPECT_EQ(value, payload);
}

TEST_F(VhdxDiskTest, ProtectedItemsCanNeitherBeReadNorSet) {
  auto disk = Open();
  const Fdisk::MetadataKey fileParameters{Common::GuidToWideText(Vhdx::kFileParametersGuid), 4};
  const Fdisk::MetadataKey locator{Common::GuidToWideText(Vhdx::kParentLocatorGuid), 4};
  const std::vector<uint8_t> bogus(8, 0xFF);
  for (const Fdisk::MetadataKey& key : {fileParameters, locator}) {
    bool canSet = true;
    ASSERT_FALSE(disk->CanSetMetadata(key, canSet));
    EXPECT_FALSE(canSet);
    EXPECT_EQ(disk->SetMetadata(key, bogus).Code(), Code::kVhdxMetadataNotAllowed);
  }
  std::vector<uint8_t> value;
  EXPECT_EQ(disk->GetMetadata(fileParameters, value).Code(), Code::kDiskMetadataNotFound);

  // The disk is intact: it reopens and reads.
  disk.reset();
  disk = Open();
  std::vector<uint8_t> sector(512);
  EXPECT_FALSE(disk->IO(Fdisk::kIoRead, sector.data(), 0, 1));
}

TEST_F(VhdxDiskTest, MetadataKeysMustBeGuidsAndAbsentItemsAreReported) {
  auto disk = Open();
  std::vector<uint8_t> value;
  bool canSet = true;
  for (const char16_t* bad : {u"", u"not a guid", u"0f2a1b3c-4d5e-4f60-8a9b-0c1d2e3f4a5",
                              u"0f2a1b3c-4d5e-4f60-8a9b-0c1d2e3f4a5bc", u"{0f2a1b3c-4d5e-4f60-8a9b-0c1d2e3f4a5b}",
                              u"0f2a1b3c-4d5e-4f60-8a9b+0c1d2e3f4a5b", u"0f2a1b3c-4d5e-4f60-8a9b-0c1d2e3f4a5g"}) {
    const Fdisk::MetadataKey key{bad, 1};
    const Common::Error error = disk->GetMetadata(key, value);
    EXPECT_EQ(error.Code(), Code::kDiskInvalidMetadataKey);
    EXPECT_EQ(error.Message(), u"Invalid VHDX metadata key.");
    EXPECT_EQ(disk->CanSetMetadata(key, canSet).Code(), Code::kDiskInvalidMetadataKey);
    EXPECT_EQ(disk->SetMetadata(key, value).Code(), Code::kDiskInvalidMetadataKey);
  }
  const Common::Error absent = disk->GetMetadata({u"11111111-2222-3333-4444-555555555555", 1}, value);
  EXPECT_EQ(absent.Code(), Code::kDiskMetadataNotFound);
  EXPECT_STREQ(absent.Function(), "GetMetadata");
  EXPECT_EQ(Common::FormatErrorMessage(absent),
            u"Metadata with ID '11111111-2222-3333-4444-555555555555' and flags 1 is not found in the VHDX disk.");
  // The IsUser bit is part of an item's identity.
  EXPECT_EQ(disk->GetMetadata({Common::GuidToWideText(Vhdx::kVirtualDiskSizeGuid), 1}, value).Code(),
            Code::kDiskMetadataNotFound);
}

TEST_F(VhdxDiskTest, ChangedSectorsComeFromTheFileTracker) {
  ASSERT_FALSE(HvTrackFile(State(), Common::Utf8ToUtf16(Path())));
  TrackerRef tracker;
  ASSERT_FALSE(HvCreateFileTracker(State(), tracker));
  auto disk = Open(tracker);
  // Two blocks of 4 MiB get data; the tracker then takes a snapshot.
  std::vector<uint8_t> sector(2 * 512, 0x77);  // two sectors for the second write
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, sector.data(), 100, 1));
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, sector.data(), 3 * 8192 + 5, 1));

  std::u16string first;
  ASSERT_FALSE(disk->GetCurrentChangeID(first));
  EXPECT_FALSE(first.empty());
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, sector.data(), 3 * 8192 + 300, 2));

  // The block's 64 KiB piece is mostly zeros, so the tracker kept it whole
  // and knows the two sectors written; the first block does not count.
  using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;
  EXPECT_EQ(Changed(*disk, first, {0, kSectors}), (Pairs{{3 * 8192 + 300, 2}}));
  // Clipped to the range asked for; nothing outside it.
  EXPECT_EQ(Changed(*disk, first, {3 * 8192 + 301, 1000}), (Pairs{{3 * 8192 + 301, 1}}));
  EXPECT_TRUE(Changed(*disk, first, {0, 3 * 8192}).empty());
  // "*": every allocated block.
  EXPECT_EQ(Changed(*disk, u"*", {0, kSectors}), (Pairs{{0, 8192}, {3 * 8192, 8192}}));
}

TEST_F(VhdxDiskTest, WithoutTrackerOnlyEverythingChangedIsKnown) {
  auto disk = Open();
  std::u16string id = u"stale";
  EXPECT_EQ(disk->GetCurrentChangeID(id).Code(), Code::kFileTrackerNotFound);
  EXPECT_TRUE(id.empty());
  std::vector<Fdisk::SectorRange> changed;
  EXPECT_EQ(disk->GetChangedSectors(u"1", {0, kSectors}, changed).Code(), Code::kFileTrackerNotFound);
  EXPECT_TRUE(changed.empty());
  EXPECT_TRUE(Changed(*disk, u"*", {0, kSectors}).empty());  // nothing written, nothing allocated
}

}  // namespace
