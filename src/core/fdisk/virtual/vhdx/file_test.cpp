#include <gtest/gtest.h>

#include <random>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/data_range.h"
#include "core/fdisk/virtual/vhdx/file_assembly.h"
#include "core/fdisk/virtual/vhdx/file_region.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/non_persistent_file.h"
#include "core/fdisk/virtual/vhdx/space_manager.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::Thrown;
using VhdxTest::Failure;
using VhdxTest::MemoryFile;
using VhdxTest::MessageOf;

class LoggingCore : public MemoryCoreFile {
 public:
  using MemoryCoreFile::MemoryCoreFile;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override {
    writes.push_back({offset, size});
    return MemoryCoreFile::WriteAt(offset, buffer, size);
  }
  std::vector<std::pair<uint64_t, size_t>> writes;
};

TEST(RawFile, WriteZeroUsesWholePiecesThenTheRest) {
  auto core = std::make_shared<LoggingCore>();
  WriteableFile file(core);
  file.WriteZero(5, 10000);
  EXPECT_EQ(core->writes, (std::vector<std::pair<uint64_t, size_t>>{{5, 4096}, {4101, 4096}, {8197, 1808}}));
  EXPECT_EQ(file.GetSize(), 10005u);
}

TEST(RawFile, ShortReadsFullDisksAndReadOnlyAreReported) {
  auto core = std::make_shared<MemoryCoreFile>(std::vector<uint8_t>(100), 200);
  WriteableFile writable(core);
  uint8_t buffer[64];
  EXPECT_EQ(Failure([&] { writable.Read(50, 64, buffer); }), "0x40002 The end of the file has been reached.");
  EXPECT_EQ(Failure([&] { writable.Write(190, 64, buffer); }), "0x40004 The disk is full.");

  ReadOnlyFile readOnly(core);
  WriteProtectedFile protectedFile(std::make_shared<WriteableFile>(core));
  for (File* file : std::initializer_list<File*>{&readOnly, &protectedFile}) {
    EXPECT_NO_THROW(file->Read(0, 64, buffer));
    const std::pair<const char*, std::function<void()>> attempts[] = {
        {"Write", [&] { file->Write(0, 1, buffer); }},
        {"WriteZero", [&] { file->WriteZero(0, 1); }},
        {"Expand", [&] { file->Expand(1000); }},
        {"Flush", [&] { file->Flush(); }}};
    for (const auto& [function, attempt] : attempts) {
      const Common::Error error = VhdxTest::Thrown(attempt);
      EXPECT_EQ(VhdxTest::CodeAndMessage(error), "0x4000C The file is read-only.") << function;
      // Records name the refused operation and the file that raises them.
      EXPECT_STREQ(error.Function(), function);
      EXPECT_STREQ(error.Source(), "core/fdisk/virtual/vhdx/file");
    }
  }
  EXPECT_EQ(core->GetSize(), 100u);
}

TEST(DataRange, MergeLetsTheNewerBytesWinAndKeepsZerosCheap) {
  std::vector<uint8_t> a(10, 'a'), b(10, 'b');
  auto older = MakeInMemoryDataRange(0, 10, a.data());
  auto newer = MakeInMemoryDataRange(5, 10, b.data());
  auto merged = older->Merge(*newer);
  EXPECT_EQ(merged->Offset(), 0);
  EXPECT_EQ(merged->Size(), 15);
  std::string text(15, '?');
  merged->Read(0, 15, text.data());
  EXPECT_EQ(text, "aaaaabbbbbbbbbb");

  auto zeros = MakeZeroDataRange(3, 4)->Merge(*MakeZeroDataRange(6, 100));
  EXPECT_TRUE(zeros->IsZero());
  EXPECT_EQ(zeros->Size(), 103);
  // An older zero range under newer bytes keeps the bytes.
  auto mixed = MakeZeroDataRange(0, 20)->Merge(*newer);
  text.assign(20, '?');
  mixed->Read(0, 20, text.data());
  EXPECT_EQ(text.substr(0, 20), std::string(5, '\0') + std::string(10, 'b') + std::string(5, '\0'));
}

TEST(DataRange, BoundsAreChecked) {
  auto range = MakeZeroDataRange(100, 50);
  uint8_t buffer[64];
  Common::Error error = Thrown([&] { range->Read(140, 11, buffer); });
  EXPECT_EQ(MessageOf(error),
            "Internal error: An attempt to read from data range beyond its bounds. Data range Offset = 100, Size = 50, "
            "read request Offset = 140, Size = 11.");
  // Touching ranges do not merge.
  error = Thrown([&] { range->Merge(*MakeZeroDataRange(150, 5)); });
  EXPECT_EQ(MessageOf(error),
            "Internal error: An attempt to merge non-intersected data ranges, first with Offset = 100, Size = 50, "
            "second with Offset = 150, Size = 5.");
}

TEST(NonPersistentFile, MatchesAPlainBufferUnderRandomWrites) {
  std::mt19937 random(11);
  std::vector<uint8_t> base(20000);
  for (auto& byte : base) byte = static_cast<uint8_t>(random());
  MemoryFile memory(base);
  NonPersistentFile overlay(memory.file);
  std::vector<uint8_t> model = base;
  for (int step = 0; step < 400; ++step) {
    uint64_t offset = random() % 24000;
    uint64_t size = 1 + random() % 3000;
    if (model.size() < offset + size) model.resize(offset + size, 0);
    switch (random() % 3) {
      case 0: {
        std::vector<uint8_t> data(size);
        for (auto& byte : data) byte = static_cast<uint8_t>(random());
        overlay.Write(offset, size, data.data());
        std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(offset));
        break;
      }
      case 1:
        overlay.WriteZero(offset, size);
        std::fill_n(model.begin() + static_cast<long>(offset), size, 0);
        break;
      default:
        overlay.Expand(offset + size);
        break;
    }
    ASSERT_EQ(overlay.GetSize(), model.size());
    uint64_t readOffset = random() % model.size();
    uint64_t readSize = random() % (model.size() - readOffset + 1);
    std::vector<uint8_t> got(readSize);
    overlay.Read(readOffset, readSize, got.data());
    ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + static_cast<long>(readOffset))) << step;
  }
  EXPECT_EQ(memory.Bytes(), base);  // the base file is never written
}

TEST(NonPersistentFile, HugeZeroingAndGrowthCostNoMemory) {
  MemoryFile memory(std::vector<uint8_t>(4096, 7));
  NonPersistentFile overlay(memory.file);
  overlay.Expand(1ull << 50);
  overlay.WriteZero(1ull << 40, 1ull << 45);
  uint8_t byte = 1;
  overlay.Write(1ull << 41, 1, &byte);
  EXPECT_EQ(overlay.GetSize(), 1ull << 50);
  EXPECT_LE(overlay.RangeCount(), 5u);
  std::vector<uint8_t> got(3, 9);
  overlay.Read((1ull << 41) - 1, 3, got.data());
  EXPECT_EQ(got, (std::vector<uint8_t>{0, 1, 0}));
}

TEST(FileRegion, AccessMustLieInsideTheRegion) {
  MemoryFile memory(std::vector<uint8_t>(3 << 20));
  auto region = MakeWritableFileRegion(memory.file, {1 << 20, 1 << 20});
  uint8_t buffer[16] = {1};
  EXPECT_NO_THROW(region->Read({1048560, 16}, buffer));
  EXPECT_NO_THROW(region->Read({1 << 20, 0}, buffer));
  EXPECT_EQ(Failure([&] {
              region->Read({1048561, 16}, buffer);
            }),
            "0x3C0036 Internal error: Out-of-bounds access to the VHDX file region.");
  EXPECT_EQ(Thrown([&] { region->Write({UINT64_MAX - 4, 16}, buffer); }).Code(), Code::kVhdxRegionOutOfBounds);
  buffer[0] = 1;
  region->Write({10, 1}, buffer);
  EXPECT_EQ(memory.Bytes()[(1 << 20) + 10], 1);
}

class FixedAllocator : public Allocator {
 public:
  explicit FixedAllocator(Allocation answer) : answer_(answer) {}
  Allocation Allocate(uint64_t, uint64_t, uint64_t) override { return answer_; }

 private:
  Allocation answer_;
};

class RecordingMonitor : public ExpansionMonitor {
 public:
  void OnExpanded(const FileArea& oldArea, const FileArea& newArea) override { calls.push_back({oldArea, newArea}); }
  std::vector<std::pair<FileArea, FileArea>> calls;
};

TEST(ExpandableRegion, MovesContentAndTellsTheMonitor) {
  MemoryFile memory(std::vector<uint8_t>(1 << 20));
  for (size_t i = 0; i < 5000; ++i) memory.Bytes()[0x1000 + i] = static_cast<uint8_t>(i * 7);
  auto monitor = std::make_shared<RecordingMonitor>();
  auto allocator = std::make_shared<AtEndOfFileAllocator>(memory.file, 1 << 20, 1 << 20);
  auto region = MakeExpandableFileRegion(memory.file, {0x1000, 5000}, allocator, monitor);
  region->Expand(4000);  // already long enough
  EXPECT_TRUE(monitor->calls.empty());
  region->Expand(6000);
  EXPECT_EQ(region->GetArea(), (FileArea{1 << 20, 1 << 20}));
  ASSERT_EQ(monitor->calls.size(), 1u);
  EXPECT_EQ(monitor->calls[0].first, (FileArea{0x1000, 5000}));
  std::vector<uint8_t> moved(5000);
  region->Read({0, 5000}, moved.data());
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(moved[i], static_cast<uint8_t>(i * 7));
}

TEST(ExpandableRegion, OverlappingPlacementFailsAndLeavesTheRegion) {
  MemoryFile memory(std::vector<uint8_t>(1 << 20));
  auto region = MakeExpandableFileRegion(memory.file, {0x1000, 0x1000},
                                         std::make_shared<FixedAllocator>(Allocation{0x1800, 0x2000}), nullptr);
  EXPECT_EQ(Failure([&] { region->Expand(0x2000); }),
            "0x3C0032 Internal error: Cannot copy the region into an overlapping region.");
  EXPECT_EQ(region->GetArea(), (FileArea{0x1000, 0x1000}));

  auto fixed = MakeThrowingExpandableFileRegion(MakeWritableFileRegion(memory.file, {0, 100}));
  EXPECT_EQ(Failure([&] { fixed->Expand(200); }), "0x3C0000 An internal error.");
}

TEST(SpaceManager, FirstFitWithAlignmentAndGranularity) {
  AligningSpaceManager space(0, 1000, 16, 10);
  space.Occupy({0, 100});
  space.Occupy({130, 20});
  // 7 rounds to 10; the gap [100, 130) aligned to 112 holds it.
  SpaceInterval first = space.Allocate(7);
  EXPECT_EQ(first.offset, 112u);
  EXPECT_EQ(first.length, 10u);
  SpaceInterval second = space.Allocate(30);
  EXPECT_EQ(second.offset, 160u);
  EXPECT_EQ(space.Allocate(900).length, 0u);  // no room
  space.SetSize(2000);
  EXPECT_EQ(space.Allocate(900).offset, 192u);
  space.SetSize(10);  // never lowers
  EXPECT_EQ(space.GetSize(), 2000u);
}

TEST(SpaceManager, ReoccupyAndErrors) {
  AligningSpaceManager space(0, 1000, 1, 1);
  space.Occupy({100, 100});
  space.Occupy({250, 50});
  EXPECT_EQ(space.Reoccupy(100, 150).length, 150u);  // grows into the gap
  EXPECT_EQ(space.Reoccupy(100, 151).length, 0u);    // would hit the next item
  EXPECT_EQ(space.Reoccupy(250, 750).length, 750u);  // up to the end
  EXPECT_EQ(Failure([&] {
              space.Occupy({990, 20});
            }),
            "0x3C0034 Internal error: Cannot access space that is out of bounds.");
  EXPECT_EQ(Failure([&] {
              space.Occupy({240, 20});
            }),
            "0x3C0035 Internal error: Cannot occupy space that is already occupied.");
  EXPECT_EQ(Failure([&] { space.Free(101); }), "0x3C0033 Internal error: Cannot find the occupied space.");
  space.Free(100);
  EXPECT_NO_THROW(space.Occupy({0, 250}));
}

struct AssemblyFixture {
  MemoryFile memory{VhdxTest::MakeDiskImage(64 << 20)};
  std::shared_ptr<VhdxTest::CountingFile> raw = std::make_shared<VhdxTest::CountingFile>(memory.file);
  std::shared_ptr<FileAssembly> assembly = MakeWritableFileAssembly(raw);
  HeaderInfo Header() { return HeaderInfo::Read(*memory.file); }
};

TEST(HeaderUpdate, FirstDataWriteRenewsBothGuidsOnce) {
  AssemblyFixture f;
  HeaderInfo before = f.Header();
  uint8_t sector[512] = {9};
  f.assembly->DataFile()->Write(8 << 20, sizeof(sector), sector);
  HeaderInfo after = f.Header();
  EXPECT_NE(after.fileWriteGuid, before.fileWriteGuid);
  EXPECT_NE(after.dataWriteGuid, before.dataWriteGuid);
  int headerWrites = f.raw->writes;
  f.assembly->StructureFile()->Write(2 << 20, 1, sector);
  f.assembly->DataFile()->WriteZero(9 << 20, 100);
  f.assembly->DataFile()->Expand(20 << 20);
  EXPECT_EQ(f.Header().fileWriteGuid, after.fileWriteGuid);
  EXPECT_EQ(f.Header().dataWriteGuid, after.dataWriteGuid);
  EXPECT_EQ(f.raw->writes, headerWrites + 2);  // only the forwarded writes
}

TEST(HeaderUpdate, StructureWriteThenDataWriteGiveTwoHeaderUpdates) {
  AssemblyFixture f;
  HeaderInfo before = f.Header();
  uint8_t byte = 1;
  f.assembly->StructureFile()->Write(2 << 20, 1, &byte);
  HeaderInfo middle = f.Header();
  EXPECT_NE(middle.fileWriteGuid, before.fileWriteGuid);
  EXPECT_EQ(middle.dataWriteGuid, before.dataWriteGuid);
  f.assembly->DataFile()->Write(8 << 20, 1, &byte);
  HeaderInfo after = f.Header();
  EXPECT_EQ(after.fileWriteGuid, middle.fileWriteGuid);
  EXPECT_NE(after.dataWriteGuid, middle.dataWriteGuid);
  // Header image, header image, one data byte before the second pair.
  ASSERT_EQ(f.raw->writeLog.size(), 6u);
  EXPECT_EQ(f.raw->writeLog[2].offset, 2u << 20);
  EXPECT_EQ(f.raw->writeLog[5].offset, 8u << 20);
  // Reads and flushes are no modification.
  MemoryFile fresh(VhdxTest::MakeDiskImage(1 << 20));
  auto quiet = MakeWritableFileAssembly(fresh.file);
  HeaderInfo untouched = HeaderInfo::Read(*fresh.file);
  quiet->DataFile()->Read(0, 1, &byte);
  quiet->StructureFile()->Flush();
  EXPECT_EQ(HeaderInfo::Read(*fresh.file).fileWriteGuid, untouched.fileWriteGuid);
}

}  // namespace
}  // namespace Vhdx
