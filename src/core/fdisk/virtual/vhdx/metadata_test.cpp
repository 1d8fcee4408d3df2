#include "core/fdisk/virtual/vhdx/metadata.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::Thrown;
using VhdxTest::CodeAndMessage;
using VhdxTest::Failure;

TEST(MetadataConsumers, SingleValueAcceptsOnlyItsItem) {
  SingleValueMetadataConsumer<VirtualDiskSize> size;
  EXPECT_TRUE(size.IsSupported({kVirtualDiskSizeGuid, 6}));
  EXPECT_FALSE(size.IsSupported({kVirtualDiskSizeGuid, 7}));  // a user item
  uint8_t value[8] = {0, 0, 0, 1};
  EXPECT_EQ(Failure([&] {
              size.Consume({kLogicalSectorSizeGuid, 2}, value, 8);
            }),
            "0x3C0028 Metadata with ID '8141BF1D-A96F-4709-BA47-F233A8FAAB5F' and flags 2 are not supported by the "
            "consumer.");
  EXPECT_EQ(Thrown([&] {
              size.Consume({kVirtualDiskSizeGuid, 6}, value, 4);
            }).Code(),
            Code::kVhdxMetadataLengthInvalid);
  EXPECT_FALSE(size.HasValue());
  size.Consume({kVirtualDiskSizeGuid, 6}, value, 8);
  EXPECT_EQ(size.Value().value, 1u << 24);
}

TEST(MetadataConsumers, CompositeDispatchesAndAppliesItsPolicy) {
  auto logical = std::make_shared<SingleValueMetadataConsumer<VirtualDiskLogicalSectorSize>>();
  auto ignoring = MakeDispatchingComposite(MakeIgnoreUnhandledMetadata());
  ignoring->Add(logical);
  uint8_t value[4] = {0, 2, 0, 0};
  ignoring->Consume({Common::GenerateGuid(), 4}, value, 4);  // required, but ignored by this policy
  ignoring->Consume({kLogicalSectorSizeGuid, 6}, value, 4);
  EXPECT_EQ(logical->Value().value, 512u);
  EXPECT_TRUE(ignoring->IsSupported({kLogicalSectorSizeGuid, 0}));

  auto strict = MakeDispatchingComposite(MakeThrowOnRequiredUnhandledMetadata());
  EXPECT_NO_THROW(strict->Consume({Common::GenerateGuid(), 3}, value, 4));
  EXPECT_EQ(Thrown([&] {
              strict->Consume({Common::GenerateGuid(), 5}, value, 4);
            }).Code(),
            Code::kVhdxMetadataRequired);
}

TEST(MetadataModifier, FailsWhenGrowthGivesNoRoom) {
  VhdxTest::MemoryFile memory(VhdxTest::MakeDiskImage(1 << 20));
  // An allocator that hands back the same area: the region never grows.
  struct SameArea : Allocator {
    Allocation Allocate(uint64_t, uint64_t offset, uint64_t length) override { return {offset, length}; }
  };
  auto region = MakeExpandableFileRegion(memory.file, {2 << 20, 1 << 20}, std::make_shared<SameArea>(), nullptr);
  auto modifier = MakeMetadataModifier(region);
  std::vector<uint8_t> big(1 << 20, 1);
  std::vector<uint8_t> before = memory.Bytes();
  EXPECT_EQ(Failure([&] {
              modifier->Set({Common::GenerateGuid(), 1}, big.data(), 1 << 20);
            }),
            "0x3C0031 Internal error: Failed to find free space in the expanded region.");
  EXPECT_EQ(memory.Bytes(), before);
}

TEST(MetadataModifier, RemovingAnAbsentItemChangesNothing) {
  VhdxTest::MemoryFile memory(VhdxTest::MakeDiskImage(1 << 20));
  auto region = MakeThrowingExpandableFileRegion(MakeWritableFileRegion(memory.file, {2 << 20, 1 << 20}));
  auto modifier = MakeMetadataModifier(region);
  std::vector<uint8_t> before = memory.Bytes();
  modifier->Remove({kFileParametersGuid, 1});  // the user variant is absent
  EXPECT_EQ(memory.Bytes(), before);
  modifier->Remove({kVirtualDiskSizeGuid, 0});
  EXPECT_EQ(ReadMetadataTable(*region).size(), 4u);
}

TEST(CreateDiskFile, ReportsFailuresWithTheirCause) {
  EXPECT_EQ(CodeAndMessage(CreateDiskFile(nullptr, {1 << 20, 512, false})),
            "0x3C0005 Failed to create a virtual disk.");
  auto tooSmall = std::make_shared<MemoryCoreFile>(std::vector<uint8_t>{}, 1 << 20);
  Common::Error error = CreateDiskFile(tooSmall, {1 << 20, 512, false});
  EXPECT_EQ(error.Code(), Code::kVhdxCreateFailed);
  EXPECT_EQ(error.Cause().Code(), Code::kDiskFull);
  auto fine = std::make_shared<MemoryCoreFile>();
  EXPECT_TRUE(CreateDiskFile(fine, {1 << 20, 512, false}).IsSuccess());
  EXPECT_EQ(fine->GetSize(), 4u << 20);
}

}  // namespace
}  // namespace Vhdx
