// Random writes and reads through a whole disk chain against a plain model
// of the sectors: every read must return what the last write of each sector
// left there, or the parent's data, or zeros; parents never change; "*"
// changes cover every written sector and no block that was never written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "core/fdisk/virtual/vhd/interval_testutil.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace Vhdx {
namespace {

using Vhd::DiskArea;
using Vhd::Testing::VectorCollector;
using namespace VhdxTest;

// Each written sector holds one 64-bit tag repeated; unwritten ones read 0.
// Sector numbers stay below 2^24.
using Model = std::map<uint64_t, uint64_t>;

uint64_t TagAt(const Model& model, uint64_t sector) {
  auto it = model.find(sector);
  return it == model.end() ? 0 : it->second;
}

// Just over one 4 GiB chunk of 512-byte sectors, so that writes cross it.
constexpr uint64_t kSectors = (5ull << 30) / 512;
constexpr uint64_t kChunk = 1ull << 23;

class RandomIo {
 public:
  RandomIo(std::string path, uint32_t sectorSize, uint64_t sectors, const Model* parent, uint32_t seed)
      : path_(std::move(path)),
        sectorSize_(sectorSize),
        sectors_(sectors),
        parent_(parent),
        seed_(seed),
        random_(seed) {}

  // Offsets near block, chunk and disk ends, or anywhere.
  uint64_t PickStart() {
    const uint64_t sectorsPerBlock = (4u << 20) / sectorSize_;
    uint64_t base;
    switch (random_() % 4) {
      case 0:
        base = random_() % (sectors_ / sectorsPerBlock) * sectorsPerBlock;
        break;
      case 1:
        base = kChunk < sectors_ ? kChunk : sectors_ / 2;
        break;
      case 2:
        base = sectors_;
        break;
      default:
        return random_() % sectors_;
    }
    uint64_t jitter = random_() % 64;
    return std::min(random_() % 2 && base >= jitter ? base - jitter : base + jitter, sectors_ - 1);
  }
  uint64_t PickCount(uint64_t start) {
    uint64_t limit = random_() % 8 == 0 ? 20000 : 300;
    return std::min<uint64_t>(1 + random_() % limit, sectors_ - start);
  }

  void Write(Disk& disk) {
    const uint64_t start = PickStart(), count = PickCount(start);
    // Unique across the disks of a chain: seed, write number, sector.
    const uint64_t tag = uint64_t{seed_} << 48 | ++writes_ << 24;
    std::vector<uint64_t> words(count * sectorSize_ / 8);
    for (uint64_t s = 0; s < count; ++s) {
      std::fill_n(words.begin() + s * sectorSize_ / 8, sectorSize_ / 8, tag | (start + s));
      model_[start + s] = tag | (start + s);
    }
    disk.Write(start, reinterpret_cast<const uint8_t*>(words.data()), count);
  }

  void CheckRead(Disk& disk) {
    const uint64_t start = PickStart(), count = PickCount(start);
    std::vector<uint64_t> words(count * sectorSize_ / 8, ~0ull);
    disk.Read(start, reinterpret_cast<uint8_t*>(words.data()), count);
    for (uint64_t s = 0; s < count; ++s) {
      const uint64_t expected = Expected(start + s);
      for (uint64_t w = 0; w < sectorSize_ / 8; w += sectorSize_ / 8 - 1)
        ASSERT_EQ(words[s * sectorSize_ / 8 + w], expected) << path_ << " sector " << start + s;
    }
  }

  uint64_t Expected(uint64_t sector) const {
    auto it = model_.find(sector);
    if (it != model_.end()) return it->second;
    return parent_ ? TagAt(*parent_, sector) : 0;
  }

  // Writes and reads in random order, reopening now and then.
  void Run(int operations) {
    int i = 0;
    try {
      auto disk = OpenDisk(path_, true);
      for (; i < operations; ++i) {
        if (random_() % 16 == 0) disk = OpenDisk(path_, true);
        if (random_() % 2)
          Write(*disk);
        else
          CheckRead(*disk);
        if (::testing::Test::HasFatalFailure()) return;
      }
    } catch (const Common::Error& error) {
      FAIL() << path_ << " operation " << i << ": " << std::hex << error.Code() << " " << MessageOf(error);
    }
  }

  const Model& model() const { return model_; }

 private:
  std::string path_;
  uint32_t sectorSize_;
  uint64_t sectors_;
  const Model* parent_;
  uint32_t seed_;
  std::mt19937_64 random_;
  Model model_;
  uint64_t writes_ = 0;
};

class RandomIoTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// Every written sector lies in a reported area; every reported area lies in
// blocks that some write touched.
void ExpectChangesCover(Disk& disk, const Model& written, uint64_t sectors, uint64_t sectorsPerBlock) {
  VectorCollector<DiskArea> changes;
  disk.GetChanges(u"*", {0, sectors}, changes);
  // The areas come increasing and disjoint.
  auto inChanges = [&](uint64_t sector) {
    auto it = std::upper_bound(changes.values.begin(), changes.values.end(), sector,
                               [](uint64_t s, const DiskArea& area) { return s < area.start; });
    return it != changes.values.begin() && sector < std::prev(it)->End();
  };
  for (const auto& [sector, tag] : written) ASSERT_TRUE(inChanges(sector)) << "sector " << sector;
  for (const auto& area : changes.values) {
    for (uint64_t block = area.start / sectorsPerBlock; block * sectorsPerBlock < area.End(); ++block) {
      auto it = written.lower_bound(block * sectorsPerBlock);
      ASSERT_TRUE(it != written.end() && it->first < (block + 1) * sectorsPerBlock) << "block " << block;
    }
  }
}

TEST_F(RandomIoTest, DynamicDiskMatchesTheModel) {
  const std::string path = dir_ / "dynamic.vhdx";
  WriteWholeFile(path, MakeDiskImage(kSectors * 512));
  RandomIo io(path, 512, kSectors, nullptr, 11);
  io.Run(1500);
  if (HasFatalFailure()) return;
  auto disk = OpenDisk(path, false);
  ExpectChangesCover(*disk, io.model(), kSectors, kImageSectorsPerBlock);
}

TEST_F(RandomIoTest, FourKSectorDiskMatchesTheModel) {
  const std::string path = dir_ / "4k.vhdx";
  const uint64_t sectors = (300ull << 20) / 4096;
  WriteWholeFile(path, MakeDiskImage(sectors * 4096, false, 4096));
  RandomIo io(path, 4096, sectors, nullptr, 12);
  io.Run(300);
}

TEST_F(RandomIoTest, DifferencingChainMatchesTheModelAndLeavesParentsAlone) {
  const std::string root = dir_ / "root.vhdx", child = dir_ / "child.avhdx", grandchild = dir_ / "top.avhdx";
  WriteWholeFile(root, MakeDiskImage(kSectors * 512));
  RandomIo rootIo(root, 512, kSectors, nullptr, 21);
  rootIo.Run(150);
  if (HasFatalFailure()) return;

  // The child sees the root through itself; the grandchild sees both.
  std::vector<uint8_t> childImage = MakeDiskImage(kSectors * 512);
  MakeDifferencing(childImage, DataWriteGuidOf(ReadWholeFile(root)), {{u"relative_path", u".\\root.vhdx"}});
  WriteWholeFile(child, childImage);
  RandomIo childIo(child, 512, kSectors, &rootIo.model(), 22);
  const std::vector<uint8_t> rootBytes = ReadWholeFile(root);
  childIo.Run(300);
  if (HasFatalFailure()) return;
  EXPECT_EQ(ReadWholeFile(root), rootBytes);

  Model merged = rootIo.model();
  for (const auto& [sector, tag] : childIo.model()) merged[sector] = tag;
  std::vector<uint8_t> topImage = MakeDiskImage(kSectors * 512);
  MakeDifferencing(topImage, DataWriteGuidOf(ReadWholeFile(child)), {{u"relative_path", u"child.avhdx"}});
  WriteWholeFile(grandchild, topImage);
  RandomIo topIo(grandchild, 512, kSectors, &merged, 23);
  const std::vector<uint8_t> childBytes = ReadWholeFile(child);
  topIo.Run(300);
  if (HasFatalFailure()) return;
  EXPECT_EQ(ReadWholeFile(root), rootBytes);
  EXPECT_EQ(ReadWholeFile(child), childBytes);

  for (const auto& [sector, tag] : topIo.model()) merged[sector] = tag;
  auto disk = OpenDisk(grandchild, false);
  ExpectChangesCover(*disk, merged, kSectors, kImageSectorsPerBlock);
}

}  // namespace
}  // namespace Vhdx
