#include "microsoft/common/disk/disk_traits.h"

#include <gtest/gtest.h>

#include "core/common/error.h"
#include "thrown.h"

namespace {

using HvTest::Thrown;
using HvTest::ThrownCode;

using VirtualWareRaw::CreateDiskTraits;
using VirtualWareRaw::GetUpperRoundedSizeInSectors;
using VirtualWareRaw::VhdDiskTraits;
using VirtualWareRaw::VhdxDiskTraits;

TEST(DiskTraitsTest, ExtensionChoosesTheTraitsWhateverItsCase) {
  for (const char16_t* name : {u"a.vhdx", u"a.VHDX", u"dir.x/b.AvHdX", u"c.avhdx"})
    EXPECT_NE(dynamic_cast<VhdxDiskTraits*>(CreateDiskTraits(name, 0).get()), nullptr);
  for (const char16_t* name : {u"a.vhd", u"a", u"a.vhdx.bak", u"vhdx", u"a.vhdx "}) {
    auto traits = CreateDiskTraits(name, 1);
    auto* vhd = dynamic_cast<VhdDiskTraits*>(traits.get());
    ASSERT_NE(vhd, nullptr);
    EXPECT_EQ(vhd->GetAdapterType(), 1u);
  }
  const uint32_t adapters[] = {3, 1, 11, 17, 0, 0};
  for (uint32_t index = 0; index < 6; ++index) {
    auto traits = CreateDiskTraits(u"x.vhd", index == 5 ? 0xFFFFFFFFu : index);
    EXPECT_EQ(dynamic_cast<VhdDiskTraits&>(*traits).GetAdapterType(), adapters[index]) << index;
  }
}

TEST(DiskTraitsTest, SizesRoundUpToWholeSectors) {
  EXPECT_EQ(GetUpperRoundedSizeInSectors(0, 512), 0u);
  EXPECT_EQ(GetUpperRoundedSizeInSectors(1, 512), 1u);
  EXPECT_EQ(GetUpperRoundedSizeInSectors(512, 512), 1u);
  EXPECT_EQ(GetUpperRoundedSizeInSectors(513, 512), 2u);
  EXPECT_EQ(GetUpperRoundedSizeInSectors(UINT64_MAX, 1), UINT64_MAX);
  EXPECT_EQ(GetUpperRoundedSizeInSectors(UINT64_MAX, 2), (UINT64_MAX >> 1) + 1);

  const Common::Error error = Thrown([] { GetUpperRoundedSizeInSectors(1, 0); });
  EXPECT_EQ(error.Code(), Code::kInvalidSectorSize);
  EXPECT_STREQ(error.Function(), "GetUpperRoundedSizeInSectors");
  EXPECT_EQ(error.Message(), u"Invalid sector size.");

  VhdxDiskTraits vhdx;
  EXPECT_EQ(vhdx.GetSizeInSectors(1, 512), 1u);
  EXPECT_EQ(vhdx.GetSizeInBytes(1, 512), 512u);
  EXPECT_EQ(vhdx.GetSizeInBytes(4097, 4096), 8192u);
}

TEST(DiskTraitsTest, VhdxTraitsEnforceSectorSizeAndSixtyFourTebibytes) {
  VhdxDiskTraits vhdx;
  const uint64_t limit = 0x400000000000ull;
  EXPECT_EQ(vhdx.GetSizeInBytes(limit, 4096), limit);
  EXPECT_EQ(ThrownCode([&] { vhdx.GetSizeInSectors(limit + 1, 512); }), Code::kDiskSizeNotSupported);
  EXPECT_EQ(ThrownCode([&] { vhdx.GetSizeInBytes(UINT64_MAX, 512); }), Code::kDiskSizeNotSupported);
  EXPECT_EQ(ThrownCode([&] { vhdx.GetSizeInSectors(1 << 20, 1024); }), Code::kDiskSectorSizeNotSupported);
  EXPECT_EQ(ThrownCode([&] { vhdx.GetSizeInSectors(1 << 20, 0); }), Code::kInvalidSectorSize);
}

TEST(DiskTraitsTest, VhdTraitsCheckAdapterAndRange) {
  VhdDiskTraits ide(3);
  EXPECT_EQ(ide.GetSizeInSectors(6144 * 512, 512), 6144u);
  EXPECT_EQ(ide.GetSizeInSectors(6143 * 512 + 1, 512), 6144u);  // rounding happens before the check
  EXPECT_EQ(ThrownCode([&] { ide.GetSizeInSectors(6143 * 512, 512); }), Code::kDiskSizeNotSupported);
  EXPECT_EQ(ThrownCode([&] { ide.GetSizeInSectors(1 << 30, 4096); }), Code::kDiskSectorSizeNotSupported);
  EXPECT_EQ(ThrownCode([&] { VhdDiskTraits(11).GetSizeInSectors(1 << 30, 512); }), Code::kDiskInvalidAdapter);
  EXPECT_EQ(ThrownCode([&] { VhdDiskTraits(0).GetSizeInBytes(1 << 30, 512); }), Code::kDiskInvalidAdapter);
}

}  // namespace
