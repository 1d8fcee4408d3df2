#include "core/fdisk/virtual/vhdx/header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/region_table.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "thrown.h"

namespace Vhdx {
namespace {

using HvTest::Thrown;
using VhdxTest::Failure;
using VhdxTest::MemoryFile;

TEST(Crc32c, MatchesKnownValuesAndContinues) {
  const char* text = "123456789";
  EXPECT_EQ(Crc32c(0, text, 9), 0xE3069283u);
  EXPECT_EQ(Crc32c(0, text, 0), 0u);
  // The iSCSI test patterns: 32 bytes of zeros, of ones, counting up, down.
  uint8_t pattern[4][32];
  for (int i = 0; i < 32; ++i) {
    pattern[0][i] = 0;
    pattern[1][i] = 0xFF;
    pattern[2][i] = static_cast<uint8_t>(i);
    pattern[3][i] = static_cast<uint8_t>(31 - i);
  }
  EXPECT_EQ(Crc32c(0, pattern[0], 32), 0x8A9136AAu);
  EXPECT_EQ(Crc32c(0, pattern[1], 32), 0x62A8AB43u);
  EXPECT_EQ(Crc32c(0, pattern[2], 32), 0x46DD794Eu);
  EXPECT_EQ(Crc32c(0, pattern[3], 32), 0x113FDB5Cu);

  // Any split of a buffer, at any alignment, gives the checksum of the whole.
  std::mt19937 random(7);
  std::vector<uint8_t> data(70000);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  const uint32_t whole = Crc32c(0, data.data() + 1, data.size() - 1);
  for (size_t split : {0u, 1u, 7u, 8u, 9u, 63u, 4096u, 65537u, 69999u})
    EXPECT_EQ(Crc32c(Crc32c(0, data.data() + 1, split), data.data() + 1 + split, data.size() - 1 - split), whole)
        << split;
}

TEST(Crc32c, ZeroedFieldCountsAsZeroWhateverItHolds) {
  std::vector<uint8_t> image(4096);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  for (size_t field : {0u, 4u, 4092u}) {
    std::vector<uint8_t> zeroed = image;
    std::fill_n(zeroed.begin() + field, 4, 0);
    const uint32_t expected = Crc32c(0, zeroed.data(), zeroed.size());
    EXPECT_EQ(Crc32cWithZeroedField(image.data(), image.size(), field), expected) << field;
    StoreLe32(image.data() + field, expected);
    EXPECT_EQ(Crc32cWithZeroedField(image.data(), image.size(), field), expected) << field;
  }
}

HeaderInfo SampleInfo() {
  HeaderInfo info;
  info.fileWriteGuid = *Common::ParseGuid("11111111-2222-3333-4444-555555555555");
  info.dataWriteGuid = *Common::ParseGuid("66666666-7777-8888-9999-AAAAAAAAAAAA");
  info.logLength = 1 << 20;
  info.logOffset = 1 << 20;
  return info;
}

// A file with identifier, headers with the given sequence numbers, and
// region tables.
MemoryFile MakeLayout(uint64_t firstSequence, uint64_t secondSequence) {
  MemoryFile memory(std::vector<uint8_t>(1 << 20));
  WriteFileId(*memory.file);
  HeaderInfo first = SampleInfo();
  HeaderInfo second = SampleInfo();
  second.logLength = 2 << 20;  // tells the copies apart
  auto a = BuildHeader(first, firstSequence);
  auto b = BuildHeader(second, secondSequence);
  std::memcpy(memory.Bytes().data() + kHeaderOffsets[0], a.data(), a.size());
  std::memcpy(memory.Bytes().data() + kHeaderOffsets[1], b.data(), b.size());
  RegionTable table;
  table.entries.push_back({kMetadataRegionGuid, 0x200000, 0x100000, 1});
  table.entries.push_back({kBatRegionGuid, 0x300000, 0x100000, 1});
  table.Write(*memory.file);
  return memory;
}

TEST(Header, GreaterSequenceWinsAndFirstCopyOnEquality) {
  EXPECT_EQ(HeaderInfo::Read(*MakeLayout(5, 7).file).logLength, 2u << 20);
  EXPECT_EQ(HeaderInfo::Read(*MakeLayout(7, 5).file).logLength, 1u << 20);
  EXPECT_EQ(HeaderInfo::Read(*MakeLayout(7, 7).file).logLength, 1u << 20);
}

TEST(Header, DamagedCopyIsSkippedAndBothDamagedFail) {
  MemoryFile memory = MakeLayout(9, 1);
  memory.Bytes()[kHeaderOffsets[0] + 100] ^= 1;  // checksum no longer matches
  EXPECT_EQ(HeaderInfo::Read(*memory.file).logLength, 2u << 20);
  memory.Bytes()[kHeaderOffsets[1]] = 'x';  // signature
  EXPECT_EQ(Failure([&] { HeaderInfo::Read(*memory.file); }),
            "0x3C0010 Failed to find the current header of the VHDX file.");
}

TEST(Header, WriteMakesBothCopiesIdenticalNonCurrentFirst) {
  for (auto [first, second, expectFirstWrite] : {std::tuple{5, 7, 0x10000}, std::tuple{7, 5, 0x20000}}) {
    MemoryFile memory = MakeLayout(first, second);
    auto counting = std::make_shared<VhdxTest::CountingFile>(memory.file);
    HeaderInfo info = SampleInfo();
    info.logGuid = Common::GenerateGuid();
    info.Write(*counting);
    ASSERT_EQ(counting->writeLog.size(), 2u);
    EXPECT_EQ(counting->writeLog[0].offset, static_cast<uint64_t>(expectFirstWrite));
    const uint8_t* bytes = memory.Bytes().data();
    EXPECT_EQ(std::memcmp(bytes + kHeaderOffsets[0], bytes + kHeaderOffsets[1], kHeaderSize), 0);
    HeaderImage parsed = ParseHeader(bytes + kHeaderOffsets[0]);
    EXPECT_TRUE(parsed.valid);
    EXPECT_EQ(parsed.sequenceNumber, 0u);
    EXPECT_EQ(parsed.info.logGuid, info.logGuid);
  }
  // Neither copy valid: the first copy is written first; only the first
  // valid: the second first.
  for (auto [damage, expectFirstWrite] :
       {std::pair{std::vector<int>{0, 1}, 0x10000}, std::pair{std::vector<int>{1}, 0x20000},
        std::pair{std::vector<int>{0}, 0x10000}}) {
    MemoryFile memory = MakeLayout(1, 1);
    for (int copy : damage) memory.Bytes()[kHeaderOffsets[copy] + 4] ^= 0xFF;
    auto counting = std::make_shared<VhdxTest::CountingFile>(memory.file);
    SampleInfo().Write(*counting);
    EXPECT_EQ(counting->writeLog[0].offset, static_cast<uint64_t>(expectFirstWrite));
    EXPECT_EQ(counting->writeLog[1].offset, static_cast<uint64_t>(0x30000 - expectFirstWrite));
  }
}

TEST(FileId, EveryByteOfTheSignatureCounts) {
  for (size_t i = 0; i < 8; ++i) {
    MemoryFile memory = MakeLayout(1, 1);
    memory.Bytes()[i] ^= 0x20;
    EXPECT_EQ(Failure([&] { CheckVersion(*memory.file); }), "0x3C0003 Unknown format of the virtual disk.") << i;
  }
  MemoryFile tiny(std::vector<uint8_t>{'v', 'h', 'd', 'x'});
  EXPECT_EQ(Thrown([&] { CheckFileId(*tiny.file); }).Code(), Code::kVhdxUnknownFormat);
}

TEST(FileId, VersionOtherThanOneIsRejected) {
  MemoryFile memory = MakeLayout(1, 1);
  for (uint64_t offset : kHeaderOffsets) VhdxTest::Put16(memory.Bytes(), offset + HeaderField::kVersion, 2);
  VhdxTest::FixHeaderChecksums(memory.Bytes());
  EXPECT_NO_THROW(HeaderInfo::Read(*memory.file));
  EXPECT_EQ(Failure([&] { CheckVersion(*memory.file); }), "0x3C0021 Invalid format version.");
}

TEST(RegionTable, DamagedFirstCopyFallsBackToSecond) {
  MemoryFile memory = MakeLayout(1, 1);
  // The second copy alone holds a third entry.
  RegionTable table = RegionTable::Read(*memory.file);
  table.entries.push_back({Common::GenerateGuid(), 0x500000, 4096, 0});
  auto image = BuildRegionTable(table);
  std::memcpy(memory.Bytes().data() + kRegionTableOffsets[1], image.data(), image.size());
  EXPECT_EQ(RegionTable::Read(*memory.file).entries.size(), 2u);
  memory.Bytes()[kRegionTableOffsets[0] + 40] ^= 1;
  EXPECT_EQ(RegionTable::Read(*memory.file).entries.size(), 3u);
  memory.Bytes()[kRegionTableOffsets[1] + 1] ^= 1;
  EXPECT_EQ(Failure([&] { RegionTable::Read(*memory.file); }),
            "0x3C0011 The region table of the VHDX file is not valid.");
}

TEST(RegionTable, EntryCountBeyondTheImageMakesTheCopyInvalid) {
  MemoryFile memory = MakeLayout(1, 1);
  VhdxTest::Put32(memory.Bytes(), kRegionTableOffsets[0] + 8, 2048);
  VhdxTest::FixRegionTableChecksums(memory.Bytes());
  EXPECT_EQ(RegionTable::Read(*memory.file).entries.size(), 2u);  // second copy
  VhdxTest::Put32(memory.Bytes(), kRegionTableOffsets[1] + 8, 0xFFFFFFFF);
  VhdxTest::FixRegionTableChecksums(memory.Bytes());
  EXPECT_EQ(Thrown([&] { RegionTable::Read(*memory.file); }).Code(), Code::kVhdxRegionTableInvalid);
}

TEST(RegionTable, LookupByIdReportsTheMissingGuid) {
  RegionTable table;
  table.entries.push_back({kBatRegionGuid, 0x300000, 0x100000, 1});
  table.entries.push_back({kBatRegionGuid, 0x900000, 0x100000, 1});
  EXPECT_EQ(GetRegionEntryById(table, kBatRegionGuid).fileOffset, 0x300000u);
  EXPECT_EQ(Failure([&] { GetRegionEntryById(table, kMetadataRegionGuid); }),
            "0x3C0018 Failed to find the region table entry with ID '8B7CA206-4790-4B9A-B8FE-575F050F886E'.");
}

}  // namespace
}  // namespace Vhdx
