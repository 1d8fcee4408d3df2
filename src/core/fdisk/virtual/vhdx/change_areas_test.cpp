// Changed byte ranges outside payload blocks and BAT entries: sector bitmaps,
// headers, log, region table and metadata.
#include <gtest/gtest.h>

#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhd/union.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/change_tracking.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace Vhdx {
namespace {

using Vhd::DiskArea;
using Vhd::Testing::Areas;
using Vhd::Testing::VectorCollector;
using namespace VhdxTest;

constexpr uint64_t kBlock = kImageSectorsPerBlock;
constexpr uint64_t kSectors = 8 * kBlock;
const Common::Guid kUserItem = *Common::ParseGuid("12345678-9ABC-DEF0-1234-56789ABCDEF0");

// Where an item lies in the file: its table entry and its data.
struct ItemPlace {
  uint64_t entry = 0;
  uint64_t data = 0;
  uint64_t length = 0;
};

// A differencing file of 8 blocks: block 0 partially present, block 1 fully
// present, block 2 not present, block 3 zero; one user item.
class ChangeAreasFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_ = MakeDiskImage(kSectors * 512);
    MakeDifferencing(bytes_, Common::GenerateGuid(), {{u"relative_path", u"parent.vhdx"}});
    SetRawMetadata(bytes_, {kUserItem, MetadataFlags::kIsUser}, {'l', 'a', 'b', 'e', 'l'});
    partialMb_ = AppendBlock(bytes_, 1);
    SetImageEntry(bytes_, 0, kBlockPartiallyPresent, partialMb_);
    fullMb_ = AppendBlock(bytes_, 2);
    SetImageEntry(bytes_, 1, kBlockFullyPresent, fullMb_);
    SetImageEntry(bytes_, 3, kBlockZero, 0);
    bitmapMb_ = AppendBitmap(bytes_, 0x0F);
    SetImageEntry(bytes_, kImageBitmapEntry, kBlockFullyPresent, bitmapMb_);
  }

  std::vector<DiskArea> Changes(std::vector<std::pair<uint64_t, uint64_t>> ranges) {
    OpenedImage image = OpenImage(bytes_, false);
    ListedChanges changes(std::move(ranges));
    Vhd::Union merged;
    image.disk->CollectChangedAreas(changes, merged);
    VectorCollector<DiskArea> out;
    merged.Enumerate(out);
    return out.values;
  }

  ItemPlace Item(const Common::Guid& id, bool user) const {
    const uint16_t count = LoadLe16(bytes_.data() + kMetadataRegion + 10);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* entry = bytes_.data() + MetadataEntryAt(i);
      if (Common::Guid::Load(entry) == id && ((LoadLe32(entry + 24) & MetadataFlags::kIsUser) != 0) == user)
        return {MetadataEntryAt(i), kMetadataRegion + LoadLe32(entry + 16), LoadLe32(entry + 20)};
    }
    ADD_FAILURE() << "no such item";
    return {};
  }

  uint64_t Bitmap() const { return bitmapMb_ << 20; }

  std::vector<uint8_t> bytes_;
  uint64_t bitmapMb_ = 0, partialMb_ = 0, fullMb_ = 0;
};

TEST_F(ChangeAreasFileTest, PayloadBytesReportOnlySectorsTheBlockSupplies) {
  const uint64_t partial = partialMb_ << 20, full = fullMb_ << 20;
  // Block 0's bits are 0x0F in every byte: of each 8 sectors the first 4 are
  // its own, the others read from the parent whatever its payload holds.
  EXPECT_EQ(Changes({{partial + 100, partial + 16 * 512}}), Areas({{0, 4}, {8, 12}}));
  EXPECT_TRUE(Changes({{partial + 4 * 512, partial + 8 * 512}}).empty());
  // The whole payload, as when the block was allocated since: its own sectors only.
  const std::vector<DiskArea> own = Changes({{partial, partial + (4 << 20)}});
  ASSERT_EQ(own.size(), kBlock / 8);
  EXPECT_EQ(own.back(), (DiskArea{kBlock - 8, 4}));
  // A fully present block supplies every sector the bytes touch.
  EXPECT_EQ(Changes({{full + 100, full + 16 * 512}}), Areas({{kBlock, kBlock + 16}}));
  // Bits that cannot be read narrow nothing.
  SetImageEntry(bytes_, kImageBitmapEntry, kBlockNotPresent, 0);
  EXPECT_EQ(Changes({{partial + 100, partial + 16 * 512}}), Areas({{0, 16}}));
}

TEST_F(ChangeAreasFileTest, BitmapBytesReportTheSectorsOfBlocksWhoseBitsCount) {
  EXPECT_EQ(Changes({{Bitmap(), Bitmap() + 1}}), Areas({{0, 8}}));  // partially present
  // Fully present: it may have become so through bits alone.
  EXPECT_EQ(Changes({{Bitmap() + 1024 + 3, Bitmap() + 1024 + 4}}), Areas({{kBlock + 24, kBlock + 32}}));
  // Not present and zero blocks read the same whatever their bits say.
  EXPECT_TRUE(Changes({{Bitmap() + 2048, Bitmap() + 4096}}).empty());
  // Across the end of block 0's bits into block 1's, clipped to the disk.
  EXPECT_EQ(Changes({{Bitmap() + 1020, Bitmap() + 1030}}), Areas({{kBlock - 32, kBlock + 48}}));
  EXPECT_EQ(Changes({{Bitmap() - 10, Bitmap() + (1 << 20) + 10}}), Areas({{0, 2 * kBlock}}));
}

TEST_F(ChangeAreasFileTest, StructuresReportTheWholeDiskOnlyWhenTheyCanChangeWhatSectorsRead) {
  const std::vector<DiskArea> whole = Areas({{0, kSectors}});
  // Headers carry GUIDs; the log takes effect only through what it is applied to.
  EXPECT_TRUE(Changes({{0x10000, 0x11000}, {0x20000, 0x20010}, {1 << 20, (1 << 20) + 4096}}).empty());
  EXPECT_EQ(Changes({{0x40000 + 20, 0x40000 + 21}}), whole);  // a region table: the BAT may have moved

  const ItemPlace size = Item(kVirtualDiskSizeGuid, false);
  EXPECT_EQ(Changes({{size.data, size.data + 1}}), whole);
  EXPECT_EQ(Changes({{size.entry + 16, size.entry + 20}}), whole);
  const ItemPlace locator = Item(kParentLocatorGuid, false);
  EXPECT_EQ(Changes({{locator.data + locator.length - 1, locator.data + locator.length}}), whole);

  const ItemPlace user = Item(kUserItem, true);
  EXPECT_TRUE(Changes({{user.entry, user.entry + 32}, {user.data, user.data + user.length}}).empty());
  // The entry count and free space: no system item changes through them alone.
  EXPECT_TRUE(Changes({{kMetadataRegion + 10, kMetadataRegion + 12},
                       {kMetadataRegion + (512 << 10), kMetadataRegion + (513 << 10)}})
                  .empty());
}

}  // namespace
}  // namespace Vhdx
