#include "core/fdisk/virtual/disk_parameters.h"

#include <gtest/gtest.h>

#include "core/common/error.h"

namespace {

using VirtualDisks::CheckMSDiskParameters;
using VirtualDisks::CheckVhdxDiskParameters;
using VirtualDisks::ComputeGeometry;

struct Shape {
  uint64_t sectors;
  unsigned spt;
  unsigned heads;
};

void ExpectShape(uint32_t adapter, const Shape& shape) {
  const Fdisk::Geometry g = ComputeGeometry(adapter, shape.sectors);
  EXPECT_EQ(g.sectorsPerTrack, shape.spt) << shape.sectors;
  EXPECT_EQ(g.highestHead + 1u, shape.heads) << shape.sectors;
  EXPECT_EQ(g.cylinders, shape.sectors / (shape.spt * shape.heads)) << shape.sectors;
}

TEST(GeometryTest, IdeShapesOnBothSidesOfEveryThreshold) {
  // clang-format off
  const Shape shapes[] = {
      {0, 17, 4},
      {69631, 17, 4},       // last of the small disks
      {69632, 17, 4},       // 69632 / 496 * 496 = 69440 is still below 69632
      {69935, 17, 4},
      {69936, 31, 16},      // 141 * 496: the first multiple of 496 at or above 69632
      {507903, 31, 16},
      {507904, 31, 16},     // rounded to 1008s: 507024
      {508031, 31, 16},
      {508032, 63, 16},     // 504 * 1008
      {1032191, 63, 16},
      {1032192, 63, 32},    // 1024 * 1008
      {2065391, 63, 32},
      {2065392, 63, 64},    // 2049 * 1008
      {4129775, 63, 64},
      {4129776, 63, 128},   // 4097 * 1008
      {8258543, 63, 128},
      {8258544, 63, 255},   // 8193 * 1008
      {66059279, 63, 255},
      {66059280, 63, 255},
      {UINT64_MAX, 63, 255},
  };
  // clang-format on
  for (const Shape& shape : shapes) ExpectShape(3, shape);
  // Spot values worked out by hand.
  EXPECT_EQ(ComputeGeometry(3, 69631).cylinders, 1023u);
  EXPECT_EQ(ComputeGeometry(3, 1032192).cylinders, 512u);
  EXPECT_EQ(ComputeGeometry(3, 66059279).cylinders, 4111u);  // one short of 4112 * 16065
}

TEST(GeometryTest, ScsiAdaptersUseLbaShapeWithSmallDisksAt1023Cylinders) {
  for (uint32_t adapter : {1u, 17u}) {
    const Fdisk::Geometry small = ComputeGeometry(adapter, 16065);
    EXPECT_EQ(small.sectorsPerTrack, 63);
    EXPECT_EQ(small.highestHead, 254);
    EXPECT_EQ(small.cylinders, 1023u);
    EXPECT_EQ(ComputeGeometry(adapter, 0).cylinders, 1023u);
    EXPECT_EQ(ComputeGeometry(adapter, 16066).cylinders, 1u);
    EXPECT_EQ(ComputeGeometry(adapter, 16065 * 5 + 16064).cylinders, 5u);
  }
}

TEST(GeometryTest, UnknownAdaptersGetNoGeometry) {
  for (uint32_t adapter : {0u, 2u, 11u, 0xFFFFFFFFu}) {
    const Fdisk::Geometry g = ComputeGeometry(adapter, 1 << 20);
    EXPECT_EQ(g.sectorsPerTrack, 0);
    EXPECT_EQ(g.highestHead, 0);
    EXPECT_EQ(g.cylinders, 0u);
  }
}

TEST(DiskParametersTest, VhdxSectorSizesAndTheSixtyFourTebibyteLimit) {
  const uint64_t limit = 0x400000000000ull;
  EXPECT_TRUE(CheckVhdxDiskParameters(limit / 512, 512).IsSuccess());
  EXPECT_TRUE(CheckVhdxDiskParameters(limit / 4096, 4096).IsSuccess());
  EXPECT_TRUE(CheckVhdxDiskParameters(0, 512).IsSuccess());

  const Common::Error over = CheckVhdxDiskParameters(limit / 512 + 1, 512);
  EXPECT_EQ(over.Code(), Code::kDiskSizeNotSupported);
  EXPECT_STREQ(over.Function(), "CheckVhdxDiskParameters");
  EXPECT_EQ(over.Message(), u"The target size of the virtual disk is not supported by the selected virtual machine.");
  EXPECT_EQ(CheckVhdxDiskParameters(limit / 4096 + 1, 4096).Code(), Code::kDiskSizeNotSupported);
  // A product that wraps around 64 bits must not pass.
  EXPECT_EQ(CheckVhdxDiskParameters(UINT64_MAX / 512 + 2, 512).Code(), Code::kDiskSizeNotSupported);
  EXPECT_EQ(CheckVhdxDiskParameters(1ull << 55, 512).Code(), Code::kDiskSizeNotSupported);

  for (uint32_t size : {0u, 1u, 511u, 1024u, 2048u, 8192u}) {
    const Common::Error bad = CheckVhdxDiskParameters(1, size);
    EXPECT_EQ(bad.Code(), Code::kDiskSectorSizeNotSupported) << size;
    EXPECT_STREQ(bad.Function(), "CheckVhdxDiskParameters");
  }
  // The sector size is checked first.
  EXPECT_EQ(CheckVhdxDiskParameters(UINT64_MAX, 1024).Code(), Code::kDiskSectorSizeNotSupported);
}

TEST(DiskParametersTest, VirtualPcDisksTakeIdeOrScsiWithinTheSectorRange) {
  EXPECT_EQ(CheckMSDiskParameters(6143, 512, 3).Code(), Code::kDiskSizeNotSupported);
  EXPECT_TRUE(CheckMSDiskParameters(6144, 512, 3).IsSuccess());
  EXPECT_TRUE(CheckMSDiskParameters(4278190080ull, 512, 1).IsSuccess());
  EXPECT_EQ(CheckMSDiskParameters(4278190081ull, 512, 1).Code(), Code::kDiskSizeNotSupported);

  const Common::Error adapter = CheckMSDiskParameters(6144, 512, 2);
  EXPECT_EQ(adapter.Code(), Code::kDiskInvalidAdapter);
  EXPECT_EQ(adapter.Message(), u"An invalid adapter.");
  EXPECT_STREQ(adapter.Function(), "CheckMSDiskParameters");
  for (uint32_t other : {0u, 11u, 17u})
    EXPECT_EQ(CheckMSDiskParameters(6144, 512, other).Code(), Code::kDiskInvalidAdapter);

  // Order of the checks: sector size, then adapter, then size.
  EXPECT_EQ(CheckMSDiskParameters(0, 4096, 2).Code(), Code::kDiskSectorSizeNotSupported);
  EXPECT_EQ(CheckMSDiskParameters(0, 512, 2).Code(), Code::kDiskInvalidAdapter);
}

}  // namespace
