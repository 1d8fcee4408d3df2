#include "core/fdisk/virtual/vhdx/disk_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/region_table.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::Thrown;
using VhdxTest::CodeAndMessage;
using VhdxTest::Failure;
using VhdxTest::MessageOf;
using VhdxTest::MetadataEntryAt;
using VhdxTest::OpenImage;

constexpr uint64_t kMB = 1 << 20;

std::vector<MetadataEntry> TableOf(std::vector<uint8_t> bytes) {
  VhdxTest::MemoryFile memory(std::move(bytes));
  return ReadMetadataTable(*MakeReadOnlyFileRegion(memory.file, {2 * kMB, kMB}));
}

TEST(CreateDisk, DynamicLayout) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(10ull << 30);
  ASSERT_EQ(bytes.size(), 4 * kMB);
  EXPECT_TRUE(std::all_of(bytes.begin() + kMB, bytes.begin() + 2 * kMB, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(std::memcmp(bytes.data() + 0x10000, bytes.data() + 0x20000, kHeaderSize), 0);
  HeaderImage header = ParseHeader(bytes.data() + 0x10000);
  EXPECT_TRUE(header.valid);
  EXPECT_EQ(header.sequenceNumber, 0u);
  EXPECT_TRUE(header.info.logGuid.IsNull());
  EXPECT_EQ(header.info.logOffset, kMB);
  EXPECT_EQ(header.info.logLength, kMB);

  std::vector<MetadataEntry> table = TableOf(bytes);
  ASSERT_EQ(table.size(), 5u);
  const Common::Guid ids[] = {kFileParametersGuid, kVirtualDiskSizeGuid, kPage83DataGuid, kLogicalSectorSizeGuid,
                              kPhysicalSectorSizeGuid};
  const uint32_t offsets[] = {65536, 65544, 65552, 65568, 65572};
  const uint32_t flags[] = {4, 6, 6, 6, 6};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(table[i].descriptor.id, ids[i]);
    EXPECT_EQ(table[i].offset, offsets[i]);
    EXPECT_EQ(table[i].descriptor.flags, flags[i]);
  }
  EXPECT_EQ(LoadLe32(bytes.data() + 2 * kMB + 65536), 4 * kMB);  // block size
  EXPECT_EQ(LoadLe32(bytes.data() + 2 * kMB + 65540), 0u);       // dynamic

  VhdxTest::MemoryFile memory(bytes);
  RegionTable regions = RegionTable::Read(*memory.file);
  ASSERT_EQ(regions.entries.size(), 2u);
  EXPECT_EQ(regions.entries[0].guid, kMetadataRegionGuid);
  EXPECT_EQ(regions.entries[0].fileOffset, 2 * kMB);
  EXPECT_EQ(regions.entries[1].guid, kBatRegionGuid);
  EXPECT_EQ(regions.entries[1].fileOffset, 3 * kMB);
  EXPECT_EQ(regions.entries[1].length, kMB);
  EXPECT_EQ(regions.entries[1].required, 1u);
}

// Keeps the first 4 MB of a file and only the size of the rest, so that
// large fixed layouts can be checked without their payload.
struct BatRecordingFile : File {
  std::vector<uint8_t> head = std::vector<uint8_t>(4 * kMB);
  uint64_t size = 0;
  void Read(uint64_t offset, size_t length, void* buffer) override {
    ASSERT_LE(offset + length, head.size());
    std::memcpy(buffer, head.data() + offset, length);
  }
  uint64_t GetSize() override { return size; }
  void Write(uint64_t offset, size_t length, const void* buffer) override {
    if (offset < head.size()) std::memcpy(head.data() + offset, buffer, std::min<size_t>(length, head.size() - offset));
    size = std::max(size, offset + length);
  }
  void WriteZero(uint64_t offset, uint64_t length) override {
    if (offset < head.size()) std::memset(head.data() + offset, 0, std::min<uint64_t>(length, head.size() - offset));
    size = std::max(size, offset + length);
  }
  void Expand(uint64_t newSize) override { size = std::max(size, newSize); }
  void Flush() override {}
  uint64_t Entry(size_t index) const { return LoadLe64(head.data() + 3 * kMB + index * 8); }
};

TEST(CreateDisk, FixedLayoutMapsEveryBlock) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(6 * kMB, true);
  ASSERT_EQ(bytes.size(), 12 * kMB);
  EXPECT_EQ(LoadLe64(bytes.data() + 3 * kMB), 0x400006u);
  EXPECT_EQ(LoadLe64(bytes.data() + 3 * kMB + 8), 0x800006u);
  EXPECT_EQ(LoadLe64(bytes.data() + 3 * kMB + 16), 0u);
  EXPECT_EQ(LoadLe32(bytes.data() + 2 * kMB + 65540), FileParameters::kLeaveBlocksAllocated);
  EXPECT_EQ(OpenImage(bytes, false).disk->GetKind(), kDiskFixed);
  // The second chunk starts after 1024 payload entries and one bitmap entry.
  BatRecordingFile recorder;
  WriteNewDiskFile(recorder, {4100 * kMB, 512, true});
  EXPECT_EQ(recorder.Entry(1023), ((4ull + 1023 * 4) << 20) | 6);
  EXPECT_EQ(recorder.Entry(1024), 0u);
  EXPECT_EQ(recorder.Entry(1025), ((4ull + 1024 * 4) << 20) | 6);
  EXPECT_EQ(recorder.Entry(1026), 0u);
  EXPECT_EQ(recorder.size, (4 + 1025 * 4) * kMB);
}

TEST(OpenDisk, ReportsParametersAndKind) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  auto opened = OpenImage(bytes, false);
  EXPECT_EQ(opened.disk->GetKind(), kDiskDynamic);
  EXPECT_EQ(opened.disk->GetGeometry().virtualSize, 100 * kMB);
  EXPECT_EQ(opened.disk->GetGeometry().logicalSectorSize, 512u);
  EXPECT_EQ(opened.disk->GetParts().physicalSectorSize, 4096u);
  HeaderInfo header = ParseHeader(bytes.data() + 0x10000).info;
  EXPECT_EQ(opened.disk->GetWriteGuids().dataWriteGuid, header.dataWriteGuid);
  EXPECT_EQ(opened.disk->GetWriteGuids().fileWriteGuid, header.fileWriteGuid);
  EXPECT_FALSE(opened.disk->GetParts().logReplayed);
  for (auto [flags, kind] : {std::pair{3u, 4u}, std::pair{1u, 2u}, std::pair{0u, 3u}}) {
    std::vector<uint8_t> changed = bytes;
    VhdxTest::Put32(changed, 2 * kMB + 65540, flags);
    EXPECT_EQ(OpenImage(changed, false).disk->GetKind(), kind) << flags;
  }
}

// An engine-made image whose metadata entry `index` has another GUID and flags.
std::vector<uint8_t> WithEntry(std::vector<uint8_t> bytes, size_t index, const char* guid, uint32_t flags) {
  VhdxTest::PutGuid(bytes, MetadataEntryAt(index), guid);
  VhdxTest::Put32(bytes, MetadataEntryAt(index) + 24, flags);
  return bytes;
}

Common::Error OpenError(const std::vector<uint8_t>& bytes) {
  return Thrown([&] { OpenImage(bytes, false); });
}

TEST(OpenDisk, MissingRequiredParameters) {
  const char* unknown = "01234567-89AB-CDEF-0123-456789ABCDEF";
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  const std::vector<uint8_t> noSize = WithEntry(bytes, 1, unknown, 0);
  EXPECT_EQ(CodeAndMessage(OpenError(noSize)), "0x3C001D Disk size is not defined in metadata.");
  EXPECT_EQ(CodeAndMessage(OpenError(WithEntry(noSize, 3, unknown, 0))),
            "0x3C001C Logical sector size is not defined in metadata.");
  EXPECT_EQ(CodeAndMessage(OpenError(WithEntry(bytes, 0, unknown, 0))),
            "0x3C001E File parameters are not defined in metadata.");
  EXPECT_EQ(OpenImage(WithEntry(bytes, 4, unknown, 0), false).disk->GetParts().physicalSectorSize, 0u);
}

TEST(OpenDisk, MetadataItemsAreChecked) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  EXPECT_EQ(CodeAndMessage(OpenError(WithEntry(bytes, 1, "CAA16737-FA36-4D43-B3B6-33F0AA44E76B", 4))),
            "0x3C0026 Multiple metadata entries with ID 'CAA16737-FA36-4D43-B3B6-33F0AA44E76B' for a value that "
            "allows only one metadata entry are present in the file.");

  EXPECT_EQ(CodeAndMessage(OpenError(WithEntry(bytes, 2, "01234567-89AB-CDEF-0123-456789ABCDEF", 4))),
            "0x3C0027 Metadata with ID '01234567-89AB-CDEF-0123-456789ABCDEF' and flags 4 are required to be "
            "recognized.");
  EXPECT_NO_THROW(OpenImage(WithEntry(bytes, 2, "01234567-89AB-CDEF-0123-456789ABCDEF", 2), false));

  std::vector<uint8_t> longParameters = bytes;
  VhdxTest::Put32(longParameters, MetadataEntryAt(0) + 20, 12);
  EXPECT_EQ(CodeAndMessage(OpenError(longParameters)), "0x3C0016 The length of the metadata entry is not valid.");

  std::vector<uint8_t> badSignature = bytes;
  badSignature[2 * kMB + 3] ^= 1;
  EXPECT_EQ(CodeAndMessage(OpenError(badSignature)),
            "0x3C0012 The signature of the metadata table header is not valid.");

  // A page 83 item when nobody asked for it is a required item nobody handles.
  EXPECT_EQ(Thrown([&] {
              auto core = std::make_shared<MemoryCoreFile>(bytes);
              OpenDiskFileReadOnly(core, nullptr);
            }).Code(),
            Code::kVhdxMetadataRequired);

  std::vector<uint8_t> outside = bytes;
  VhdxTest::Put32(outside, MetadataEntryAt(1) + 16, kMB - 4);  // runs past the region
  EXPECT_EQ(OpenError(outside).Code(), Code::kVhdxRegionOutOfBounds);
  std::vector<uint8_t> tooMany = bytes;
  VhdxTest::Put16(tooMany, 2 * kMB + 10, 2048);
  EXPECT_EQ(OpenError(tooMany).Code(), Code::kVhdxMetadataTableInvalid);
}

TEST(OpenDisk, InvalidGeometryIsRejected) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  for (auto [offset, value] : {std::pair{65536u, 0u}, std::pair{65536u, 3u << 20}, std::pair{65568u, 1024u}}) {
    std::vector<uint8_t> changed = bytes;
    VhdxTest::Put32(changed, 2 * kMB + offset, value);
    EXPECT_EQ(OpenError(changed).Code(), Code::kVhdxInvalidDiskParameter) << offset << " " << value;
  }
  std::vector<uint8_t> oddSize = bytes;
  VhdxTest::Put64(oddSize, 2 * kMB + 65544, 100 * kMB + 1);
  EXPECT_EQ(MessageOf(OpenError(oddSize)),
            "The virtual disk parameter 'VirtualDiskSize' has the invalid value 104857601.");
}

TEST(OpenDisk, RegionTableProblems) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  std::vector<uint8_t> damaged = bytes;
  damaged[0x30000 + 20] ^= 0xFF;  // first copy only
  EXPECT_NO_THROW(OpenImage(damaged, false));
  damaged[0x40000 + 20] ^= 0xFF;
  EXPECT_EQ(OpenError(damaged).Code(), Code::kVhdxRegionTableInvalid);

  VhdxTest::MemoryFile memory(bytes);
  RegionTable table = RegionTable::Read(*memory.file);
  table.entries.erase(table.entries.begin());  // the metadata entry
  table.Write(*memory.file);
  EXPECT_EQ(CodeAndMessage(OpenError(memory.Bytes())),
            "0x3C0018 Failed to find the region table entry with ID '8B7CA206-4790-4B9A-B8FE-575F050F886E'.");
  table.entries.clear();
  table.Write(*memory.file);
  EXPECT_EQ(MessageOf(OpenError(memory.Bytes())),
            "Failed to find the region table entry with ID '2DC27766-F623-4200-9D64-115E9BFD4A08'.");

  std::vector<uint8_t> badHeaders = bytes;
  badHeaders[0x10000] = badHeaders[0x20000] = 0;
  EXPECT_EQ(OpenError(badHeaders).Code(), Code::kVhdxNoCurrentHeader);
  std::vector<uint8_t> notVhdx = bytes;
  notVhdx[0] = 'V';
  EXPECT_EQ(OpenError(notVhdx).Code(), Code::kVhdxUnknownFormat);
}

// Counts the reads outside the BAT region (whose check belongs to the data
// path) and the furthest byte read.
class CountingCore : public MemoryCoreFile {
 public:
  using MemoryCoreFile::MemoryCoreFile;
  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset < 3 * kMB || offset >= 3 * kMB + batLength) ++reads;
    maxOffset = std::max(maxOffset, offset + size);
    return MemoryCoreFile::ReadAt(offset, buffer, size);
  }
  uint64_t batLength = 0;
  int reads = 0;
  uint64_t maxOffset = 0;
};

TEST(OpenDisk, CostsTheSameReadsWhateverTheDiskSize) {
  int reads[2];
  int i = 0;
  for (uint64_t size : {kMB, kMB << 20}) {
    auto core = std::make_shared<CountingCore>(VhdxTest::MakeDiskImage(size));
    core->batLength = core->GetSize() - 3 * kMB;
    OpenDiskFileReadOnly(core, MakePage83MetadataConsumer());
    reads[i++] = core->reads;
    EXPECT_LE(core->maxOffset, 3 * kMB + core->batLength);  // no payload
  }
  EXPECT_EQ(reads[0], reads[1]);
  EXPECT_LE(reads[0], 16);
}

TEST(DiskMetadata, UsersSeeAndSetOnlyWhatTheyMay) {
  auto opened = OpenImage(VhdxTest::MakeDiskImage(100 * kMB), true);
  struct Collect : MetadataConsumer {
    void Consume(const MetadataDescriptor& d, const uint8_t* data, uint32_t size) override {
      items.push_back({d, std::string(data, data + size)});
    }
    std::vector<std::pair<MetadataDescriptor, std::string>> items;
  };
  Collect visible;
  opened.disk->GetMetadata(visible);
  EXPECT_EQ(visible.items.size(), 4u);  // file parameters hidden
  for (auto& item : visible.items) EXPECT_FALSE(item.first.id == kFileParametersGuid);

  std::vector<uint8_t> before = opened.core->Bytes();
  auto protectedItem = MakeSingleItemProvider({kFileParametersGuid, 4}, std::vector<uint8_t>(8, 1));
  EXPECT_EQ(Failure([&] { opened.disk->SetMetadata(*protectedItem); }),
            "0x3C0037 Metadata with ID 'CAA16737-FA36-4D43-B3B6-33F0AA44E76B' and flags 4 is not allowed to be set "
            "to the VHDX disk.");
  EXPECT_EQ(opened.core->Bytes(), before);  // not even the header changed
  EXPECT_EQ(Thrown([&] {
              opened.disk->RemoveMetadata({kParentLocatorGuid, 0});
            }).Code(),
            Code::kVhdxMetadataNotAllowed);

  // A user item with the same GUID is not protected.
  auto userItem = MakeSingleItemProvider({kFileParametersGuid, 1}, {'u', 's', 'e', 'r'});
  opened.disk->SetMetadata(*userItem);
  Collect after;
  opened.disk->GetMetadata(after);
  ASSERT_EQ(after.items.size(), 5u);
  EXPECT_EQ(after.items.back().second, "user");
  EXPECT_NE(HeaderInfo::Read(*opened.disk->GetParts().files->RawFile()).fileWriteGuid,
            opened.disk->GetWriteGuids().fileWriteGuid);
  opened.disk->RemoveMetadata({kFileParametersGuid, 1});
  Collect removed;
  opened.disk->GetMetadata(removed);
  EXPECT_EQ(removed.items.size(), 4u);
  EXPECT_NO_THROW(OpenImage(opened.core->Bytes(), false));  // system item untouched
}

TEST(DiskMetadata, ReplacingPutsTheNewValueBesideTheOld) {
  auto opened = OpenImage(VhdxTest::MakeDiskImage(100 * kMB), true);
  const Common::Guid a = *Common::ParseGuid("AAAAAAAA-0000-0000-0000-000000000001");
  const Common::Guid b = *Common::ParseGuid("BBBBBBBB-0000-0000-0000-000000000002");
  auto set = [&](const Common::Guid& id, size_t size, uint8_t fill) {
    auto provider = MakeSingleItemProvider({id, 1}, std::vector<uint8_t>(size, fill));
    opened.disk->SetMetadata(*provider);
  };
  auto entryOf = [&](const Common::Guid& id) {
    for (const MetadataEntry& entry : TableOf(opened.core->Bytes()))
      if (entry.descriptor.id == id) return entry;
    return MetadataEntry{};
  };
  set(a, 100, 1);
  set(b, 10, 2);
  uint32_t first = entryOf(a).offset;
  EXPECT_EQ(entryOf(b).offset, first + 100);
  // Until the entry switches, the old value stays whole where it was.
  set(a, 50, 3);
  EXPECT_EQ(entryOf(a).offset, first + 110);
  EXPECT_EQ(entryOf(a).length, 50u);
  set(a, 20, 4);
  EXPECT_EQ(entryOf(a).offset, first);  // the space of a replaced value is free again
  set(a, 1000, 5);
  EXPECT_EQ(entryOf(a).offset, first + 110);  // the first free space it fits in
}

TEST(DiskMetadata, GrowingTheRegionMovesItToTheEndOfTheFile) {
  auto opened = OpenImage(VhdxTest::MakeDiskImage(100 * kMB), true);
  const uint64_t oldSize = opened.core->GetSize();
  auto big = MakeSingleItemProvider({*Common::ParseGuid("CCCCCCCC-0000-0000-0000-000000000003"), 1},
                                    std::vector<uint8_t>(kMB, 7));
  opened.disk->SetMetadata(*big);
  VhdxTest::MemoryFile memory(opened.core->Bytes());
  RegionEntry entry = GetRegionEntryById(RegionTable::Read(*memory.file), kMetadataRegionGuid);
  EXPECT_EQ(entry.fileOffset, oldSize);
  EXPECT_EQ(entry.length, 2 * kMB);  // old length + item, rounded to 1 MB
  EXPECT_EQ(entry.required, 1u);
  EXPECT_EQ(opened.disk->GetParts().metadataRegion.fileOffset, oldSize);
  auto reopened = OpenImage(memory.Bytes(), false);
  EXPECT_EQ(reopened.disk->GetGeometry().virtualSize, 100 * kMB);
  struct Count : MetadataConsumer {
    void Consume(const MetadataDescriptor&, const uint8_t*, uint32_t size) override { bytes += size; }
    uint64_t bytes = 0;
  } count;
  reopened.disk->GetMetadata(count);
  EXPECT_EQ(count.bytes, kMB + 8 + 16 + 4 + 4);
}

TEST(DiskMetadata, ReadOnlyOpeningRefusesChanges) {
  auto opened = OpenImage(VhdxTest::MakeDiskImage(100 * kMB), false);
  std::vector<uint8_t> before = opened.core->Bytes();
  auto item = MakeSingleItemProvider({Common::GenerateGuid(), 1}, {1, 2, 3});
  EXPECT_EQ(Failure([&] { opened.disk->SetMetadata(*item); }), "0x4000C The file is read-only.");
  EXPECT_EQ(opened.core->Bytes(), before);
}

std::vector<uint8_t> Locator(uint16_t count, std::vector<std::pair<std::u16string, std::u16string>> pairs,
                             const char* type = "B04AEFB7-D19E-4A81-B789-25B8E9445913") {
  std::vector<uint8_t> value(20 + 12 * pairs.size());
  Common::ParseGuid(type)->Store(value.data());
  StoreLe16(value.data() + 18, count);
  for (size_t i = 0; i < pairs.size(); ++i) {
    auto append = [&](const std::u16string& text, size_t at) {
      StoreLe32(value.data() + at, static_cast<uint32_t>(value.size()));
      for (char16_t c : text) {
        value.push_back(static_cast<uint8_t>(c));
        value.push_back(static_cast<uint8_t>(c >> 8));
      }
    };
    append(pairs[i].first, 20 + 12 * i);
    append(pairs[i].second, 20 + 12 * i + 4);
    StoreLe16(value.data() + 20 + 12 * i + 8, static_cast<uint16_t>(pairs[i].first.size() * 2));
    StoreLe16(value.data() + 20 + 12 * i + 10, static_cast<uint16_t>(pairs[i].second.size() * 2));
  }
  return value;
}

TEST(ParentLocator, EntriesAreReadAndBoundsChecked) {
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);
  std::vector<uint8_t> good = bytes;
  VhdxTest::SetRawMetadata(good, {kParentLocatorGuid, 4},
                           Locator(2, {{u"parent_linkage", u"{1234}"}, {u"relative_path", u"base.vhdx"}}));
  ParentLocatorEntries entries = OpenImage(good, false).disk->GetParentLocatorEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, u"parent_linkage");
  EXPECT_EQ(entries[1].second, u"base.vhdx");

  std::vector<uint8_t> shortValue = bytes;
  std::vector<uint8_t> value = Locator(3, {});
  value.resize(55);
  VhdxTest::SetRawMetadata(shortValue, {kParentLocatorGuid, 4}, value);
  EXPECT_EQ(CodeAndMessage(OpenError(shortValue)), "0x3C0014 Out-of-bounds access to the parent locator entry.");

  std::vector<uint8_t> pastEnd = bytes;
  value = Locator(1, {{u"key", u"value"}});
  StoreLe32(value.data() + 24, static_cast<uint32_t>(value.size()) - 9);  // value offset
  VhdxTest::SetRawMetadata(pastEnd, {kParentLocatorGuid, 4}, value);
  EXPECT_EQ(OpenError(pastEnd).Code(), Code::kVhdxParentLocatorOutOfBounds);

  std::vector<uint8_t> wrongType = bytes;
  VhdxTest::SetRawMetadata(wrongType, {kParentLocatorGuid, 4}, Locator(0, {}, "11111111-2222-3333-4444-555555555555"));
  EXPECT_EQ(CodeAndMessage(OpenError(wrongType)),
            "0x3C0013 The parent locator of type '11111111-2222-3333-4444-555555555555' is not recognized.");
}

}  // namespace
}  // namespace Vhdx
