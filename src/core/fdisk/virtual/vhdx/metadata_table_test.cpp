// Changing metadata across a power loss: the file opens at every point, and
// every item reads its value from before or after the change under way.
#include "core/fdisk/virtual/vhdx/metadata_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/durability_testutil.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace Vhdx {
namespace {

using VhdxTest::RecordingCoreFile;

using Items = std::map<std::string, std::vector<uint8_t>>;  // user items by GUID text

class UserItems final : public MetadataConsumer {
 public:
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    if (descriptor.IsUser()) items[Common::GuidToText(descriptor.id)].assign(data, data + size);
  }
  Items items;
};

Items ReadItems(std::vector<uint8_t> bytes) {
  auto disk = OpenDiskFileReadOnly(std::make_shared<MemoryCoreFile>(std::move(bytes)), MakePage83MetadataConsumer());
  UserItems consumer;
  disk->GetMetadata(consumer);
  return consumer.items;
}

const MetadataDescriptor kA{*Common::ParseGuid("A0000000-0000-0000-0000-000000000001"), MetadataFlags::kIsUser};
const MetadataDescriptor kB{*Common::ParseGuid("B0000000-0000-0000-0000-000000000002"), MetadataFlags::kIsUser};
const MetadataDescriptor kC{*Common::ParseGuid("C0000000-0000-0000-0000-000000000003"), MetadataFlags::kIsUser};

TEST(MetadataPowerLossTest, EveryItemReadsOldOrNewAndTheFileOpensAtAnyPoint) {
  const std::vector<uint8_t> image = VhdxTest::MakeDiskImage(64 << 20);
  auto core = std::make_shared<RecordingCoreFile>(image);
  struct Step {
    const MetadataDescriptor* item;
    std::vector<uint8_t> value;  // empty: removed
  };
  // New items, a replaced value, one that outgrows the 1 MB region (which
  // moves), the removal of an item that is not last, and a shrinking value.
  const std::vector<Step> steps = {{&kA, std::vector<uint8_t>(100, 0xA1)},
                                   {&kB, std::vector<uint8_t>(600, 0xB1)},
                                   {&kA, std::vector<uint8_t>(700, 0xA2)},
                                   {&kC, std::vector<uint8_t>(1000 << 10, 0xC1)},
                                   {&kA, {}},
                                   {&kB, std::vector<uint8_t>(10, 0xB2)}};
  std::vector<Items> after = {Items{}};  // after[j]: the items once step j - 1 is done
  {
    auto disk = OpenDiskFileWritable(core, MakePage83MetadataConsumer());
    for (size_t j = 0; j < steps.size(); ++j) {
      core->step = static_cast<int>(j);
      after.push_back(after.back());
      const std::string key = Common::GuidToText(steps[j].item->id);
      if (steps[j].value.empty()) {
        disk->RemoveMetadata(*steps[j].item);
        after.back().erase(key);
      } else {
        disk->SetMetadata(*MakeSingleItemProvider(*steps[j].item, steps[j].value));
        after.back()[key] = steps[j].value;
      }
    }
    core->step = static_cast<int>(steps.size());
  }
  ASSERT_EQ(ReadItems(core->Bytes()), after.back());
  ASSERT_GT(core->Bytes().size(), image.size());  // the region moved

  // A power loss keeps what a flush made durable and any subset of the
  // 512-byte pieces written since.
  const auto& ops = core->ops;
  std::vector<size_t> cuts;
  for (size_t i = 0; i < ops.size(); ++i)
    if (ops[i].kind == RecordingCoreFile::Op::kFlush) cuts.push_back(i);
  std::mt19937 random(5);
  for (int trial = 0; trial < 16; ++trial) cuts.push_back(random() % (ops.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  VhdxTest::SimulatePowerLosses(image, ops, cuts, random, 2, [&](MemoryCoreFile& crashed, size_t durable, size_t cut) {
    const int oldest = durable ? ops[durable - 1].step : 0;
    const int newest = cut ? ops[cut - 1].step : 0;
    Items items;
    ASSERT_NO_THROW(items = ReadItems(crashed.Bytes())) << "cut " << cut << " of " << ops.size();
    bool allowed = false;
    for (int j = oldest; j <= std::min<int>(newest + 1, static_cast<int>(steps.size())); ++j)
      allowed = allowed || items == after[j];
    EXPECT_TRUE(allowed) << "cut " << cut << " of " << ops.size() << " (steps " << oldest << " to " << newest
                         << ") shows " << items.size() << " items";
  });
}

TEST(MetadataPowerLossTest, EachChangeIsDurableBeforeItReturns) {
  auto core = std::make_shared<RecordingCoreFile>(VhdxTest::MakeDiskImage(64 << 20));
  auto disk = OpenDiskFileWritable(core, MakePage83MetadataConsumer());
  disk->SetMetadata(*MakeSingleItemProvider(kA, std::vector<uint8_t>(100, 1)));
  EXPECT_EQ(core->ops.back().kind, RecordingCoreFile::Op::kFlush);
  core->ops.clear();
  disk->RemoveMetadata(kA);
  EXPECT_EQ(core->ops.back().kind, RecordingCoreFile::Op::kFlush);
}

}  // namespace
}  // namespace Vhdx
