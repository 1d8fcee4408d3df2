#include "core/fdisk/virtual/vhdx/log.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/common/trace.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/log_testutil.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace Vhdx {
namespace {

using VhdxTest::Catch;
using VhdxTest::CodeAndMessage;
using VhdxTest::DataDescriptor;
using VhdxTest::Failure;
using VhdxTest::LogEntrySpec;
using VhdxTest::ZeroDescriptor;

constexpr uint64_t kMB = 1 << 20;
constexpr uint64_t kLog = kMB;                     // log area of engine-made files
constexpr uint64_t kTarget = 3 * kMB + 64 * 1024;  // inside the BAT region, a harmless place to replay to

class TraceRecorder : public Common::TraceLogic {
 public:
  void TraceEvent(int level, uint32_t facility, uint32_t, const char16_t* text, uintptr_t) override {
    if (level == 1 && facility == 60) lines.push_back(Common::Utf16ToUtf8(text));
  }
  void TraceArgs(int, uint32_t, uint32_t, const char16_t*, const std::vector<std::u16string>&, uintptr_t) override {}
  void TraceError(int, const Common::Error&, uintptr_t) override {}
  bool WantsAll() const override { return true; }
  bool Saw(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
  std::vector<std::string> lines;
};

struct LogImage {
  Common::Guid guid = *Common::ParseGuid("0A0B0C0D-1111-2222-3333-444455556666");
  std::vector<uint8_t> bytes = VhdxTest::MakeDiskImage(100 * kMB);

  LogImage() { VhdxTest::SetHeaderLog(bytes, guid, kLog, kMB); }
  uint32_t Add(uint32_t position, uint64_t sequence, uint32_t tail, std::vector<VhdxTest::LogDescriptor> descriptors,
               uint64_t lastFileOffset = 0) {
    LogEntrySpec entry;
    entry.logGuid = guid;
    entry.sequenceNumber = sequence;
    entry.tail = tail;
    entry.flushedFileOffset = bytes.size();
    entry.lastFileOffset = lastFileOffset ? lastFileOffset : bytes.size();
    entry.descriptors = std::move(descriptors);
    return VhdxTest::WriteLogEntry(bytes, kLog, position, entry);
  }
  uint8_t At(uint64_t offset) const { return bytes[offset]; }
};

// Replays the log of an image; the image holds the result even on failure.
bool PlayInMemory(std::vector<uint8_t>& bytes) {
  VhdxTest::MemoryFile memory(bytes);
  struct CopyBack {
    std::vector<uint8_t>& to;
    VhdxTest::MemoryFile& from;
    ~CopyBack() { to = from.Bytes(); }
  } copyBack{bytes, memory};
  return PlayLog(*memory.file);
}

TEST(Log, NoLogGuidMeansNoReplayAndNoLogRead) {
  VhdxTest::MemoryFile memory(VhdxTest::MakeDiskImage(100 * kMB));
  auto counting = std::make_shared<VhdxTest::CountingFile>(memory.file);
  EXPECT_FALSE(PlayLog(*counting));
  EXPECT_EQ(counting->reads, 2);  // the two header copies
  EXPECT_EQ(counting->writes, 0);
}

TEST(Log, ReplaysDataAndZeroOperationsAndClearsTheGuid) {
  LogImage image;
  std::fill_n(image.bytes.begin() + kTarget, 3 * 4096, 0xEE);
  std::fill_n(image.bytes.begin() + kTarget + 3 * 4096, 4096, 0xDD);
  image.Add(0, 5, 0, {DataDescriptor(kTarget, 0x11), ZeroDescriptor(kTarget + 4096, 8192)}, 5 * kMB);
  TraceRecorder traces;
  ASSERT_TRUE(PlayInMemory(image.bytes));
  EXPECT_EQ(image.At(kTarget), 0x11);
  EXPECT_EQ(image.At(kTarget + 4095), 0x11);
  EXPECT_EQ(image.At(kTarget + 4096), 0);
  EXPECT_EQ(image.At(kTarget + 3 * 4096 - 1), 0);
  EXPECT_EQ(image.At(kTarget + 3 * 4096), 0xDD);  // nothing after the zeroed range
  EXPECT_EQ(image.bytes.size(), 5 * kMB);         // grown to LastFileOffset
  VhdxTest::MemoryFile memory(image.bytes);
  HeaderInfo header = HeaderInfo::Read(*memory.file);
  EXPECT_TRUE(header.logGuid.IsNull());
  EXPECT_EQ(std::memcmp(image.bytes.data() + 0x10000, image.bytes.data() + 0x20000, kHeaderSize), 0);
  EXPECT_TRUE(traces.Saw("Reading log entry at offset 0."));
  EXPECT_TRUE(
      traces.Saw("Pricessing log entry with Length = 8192, Tail = 0, SequenceNumber = 5, DescriptorCount = 2, "
                 "LogGuid = 0A0B0C0D-1111-2222-3333-444455556666."));
  EXPECT_TRUE(traces.Saw("Processing of the log entry finished with operations count = 2."));
  EXPECT_TRUE(traces.Saw("Applying data log operation at the Offset = 3211264."));
  EXPECT_TRUE(traces.Saw("Applying zero log operation at the Offset = 3215360 with Length = 8192."));
  EXPECT_TRUE(traces.Saw("Reading log entry stopped as header is invalid."));
}

TEST(Log, HighestFinalSequenceNumberWins) {
  for (auto [first, second, expected] : {std::tuple{9, 12, 0x22}, std::tuple{12, 9, 0x11}, std::tuple{12, 12, 0x11}}) {
    LogImage image;
    // Sequence one: two entries at 0 and 4096; sequence two: one entry later on.
    image.Add(0, first - 1, 0, {ZeroDescriptor(kTarget, 4096)});
    image.Add(4096, first, 0, {DataDescriptor(kTarget, 0x11)});
    image.Add(64 * 1024, second, 64 * 1024, {DataDescriptor(kTarget, 0x22)});
    ASSERT_TRUE(PlayInMemory(image.bytes));
    EXPECT_EQ(image.At(kTarget), expected) << first << " " << second;
  }
}

TEST(Log, EmptyLogAreaAndSequenceWhoseTailIsNotInsideItFail) {
  LogImage image;
  EXPECT_EQ(Failure([&] { PlayInMemory(image.bytes); }), "0x3C002B The active log sequence is empty.");
  image.Add(8192, 3, 0, {DataDescriptor(kTarget, 0x11)});  // tail 0 names no entry of it
  EXPECT_EQ(Catch([&] { PlayInMemory(image.bytes); }).Code(), 0x3C002Bu);
  image.Add(40960, 7, 40960, {DataDescriptor(kTarget, 0x33)});
  ASSERT_TRUE(PlayInMemory(image.bytes));
  EXPECT_EQ(image.At(kTarget), 0x33);
}

TEST(Log, SequenceWrapsAroundTheEndOfTheArea) {
  LogImage image;
  const uint32_t last = static_cast<uint32_t>(kMB - 8192);
  image.Add(last, 20, last, {DataDescriptor(kTarget, 0x44)});               // two sectors, ends at the area end
  image.Add(0, 21, last, {DataDescriptor(kTarget + 4096, 0x55)}, 6 * kMB);  // continues at the start
  ASSERT_TRUE(PlayInMemory(image.bytes));
  EXPECT_EQ(image.At(kTarget), 0x44);
  EXPECT_EQ(image.At(kTarget + 4096), 0x55);
  EXPECT_EQ(image.bytes.size(), 6 * kMB);
}

TEST(Log, AdditionalDescriptorSectors) {
  for (auto [count, sectors] : {std::pair{126, 0}, std::pair{130, 1}, std::pair{254, 1}, std::pair{255, 2}}) {
    LogImage image;
    std::vector<VhdxTest::LogDescriptor> descriptors;
    for (int i = 0; i < count - 1; ++i) descriptors.push_back(ZeroDescriptor(kTarget, 4096));
    descriptors.push_back(DataDescriptor(kTarget, static_cast<uint8_t>(count)));
    uint32_t length = image.Add(0, 1, 0, descriptors);
    EXPECT_EQ(length, (2u + sectors) * 4096);
    TraceRecorder traces;
    ASSERT_TRUE(PlayInMemory(image.bytes));
    EXPECT_EQ(image.At(kTarget), static_cast<uint8_t>(count));  // the data descriptor came last
    EXPECT_EQ(traces.Saw("Log entry additional descriptor sectors = " + std::to_string(sectors) + "."), sectors > 0);
  }
}

TEST(Log, MalformedEntriesEndTheSequence) {
  // A data sector with another sequence number, a bad checksum, a bad
  // descriptor: the entry is dropped and the sequence ends before it.
  auto breakEntry = [](LogImage& image, int how) {
    const size_t second = kLog + 8192;  // the entry numbered 8
    if (how == 0) {
      StoreLe32(image.bytes.data() + second + 4096 + 4092, 7);  // SequenceLow of its data sector
      VhdxTest::FixChecksum(image.bytes, second, 8192, second + 4);
    }
    if (how == 1) image.bytes[second + 100] ^= 1;
    if (how == 2) {
      std::memcpy(image.bytes.data() + second + 64, "junk", 4);
      VhdxTest::FixChecksum(image.bytes, second, 8192, second + 4);
    }
  };
  const char* expected[] = {
      "Invalid log data sector: Signature = 1635017060, SequenceNumber = 7. Required SequenceNumber = 8",
      "Reading log entry stopped. Invalid entry's checksum.",
      "Invalid log descriptor: Signature = 1802401130, SequenceNumber = 8. Required SequenceNumber = 8"};
  for (int how = 0; how < 3; ++how) {
    LogImage image;
    image.Add(0, 7, 0, {DataDescriptor(kTarget, 0x11)});
    image.Add(8192, 8, 0, {DataDescriptor(kTarget, 0x22)});
    breakEntry(image, how);
    TraceRecorder traces;
    ASSERT_TRUE(PlayInMemory(image.bytes));
    EXPECT_EQ(image.At(kTarget), 0x11) << how;
    EXPECT_TRUE(traces.Saw(expected[how])) << how;
  }
}

TEST(Log, TruncatedFileFailsBeforeAnyOperation) {
  LogImage image;
  image.Add(0, 1, 0, {DataDescriptor(kTarget, 0x11)});
  StoreLe64(image.bytes.data() + kLog + 48, image.bytes.size() + 1);  // FlushedFileOffset
  VhdxTest::FixChecksum(image.bytes, kLog, 8192, kLog + 4);
  std::vector<uint8_t> before = image.bytes;
  EXPECT_EQ(Failure([&] { PlayInMemory(image.bytes); }), "0x3C002A The file is truncated.");
  EXPECT_EQ(image.bytes, before);
}

TEST(Log, InvalidEntryRefusesAccess) {
  LogImage image;
  VhdxTest::MemoryFile memory(image.bytes);
  LogScanner scanner{*memory.file, kLog, static_cast<uint32_t>(kMB)};
  auto entry = ReadLogEntry(scanner, 0);
  EXPECT_FALSE(entry->IsValid());
  EXPECT_EQ(Failure([&] { entry->SequenceNumber(); }), "0x3C0029 Failed to access a log entry. The entry is invalid.");
}

TEST(Log, HostileLengthsAreRejected) {
  LogImage image;
  image.Add(0, 1, 0, {DataDescriptor(kTarget, 0x11)});
  std::vector<uint8_t> original = image.bytes;
  for (uint32_t length : {0u, 100u, 4096u * 3 + 1, static_cast<uint32_t>(kMB) + 4096}) {
    image.bytes = original;
    StoreLe32(image.bytes.data() + kLog + 8, length);
    VhdxTest::FixChecksum(image.bytes, kLog, 8192, kLog + 4);
    EXPECT_EQ(Catch([&] { PlayInMemory(image.bytes); }).Code(), 0x3C002Bu) << length;
  }
  image.bytes = original;
  StoreLe32(image.bytes.data() + kLog + 24, 0xFFFFFFFF);  // DescriptorCount
  VhdxTest::FixChecksum(image.bytes, kLog, 8192, kLog + 4);
  EXPECT_EQ(Catch([&] { PlayInMemory(image.bytes); }).Code(), 0x3C002Bu);
  // A log area of no whole sector holds nothing.
  image.bytes = original;
  VhdxTest::SetHeaderLog(image.bytes, image.guid, kLog, 100);
  EXPECT_EQ(Catch([&] { PlayInMemory(image.bytes); }).Code(), 0x3C002Bu);
}

// Replays on a file that cannot grow past capacity, the way a full host disk
// would stop a runaway replay; returns the error and leaves the bytes in image.
Common::Error PlayBounded(std::vector<uint8_t>& bytes, uint64_t capacity) {
  auto core = std::make_shared<MemoryCoreFile>(bytes, capacity);
  WriteableFile file(core);
  Common::Error error = Catch([&] { PlayLog(file); });
  bytes = core->Bytes();
  return error;
}

TEST(Log, OperationsAndGrowthAreBoundedBeforeAnythingIsWritten) {
  constexpr uint64_t kTiB = 1ull << 40;
  const uint64_t capacity = 200 * kMB;
  struct Case {
    uint64_t zeroLength, lastFileOffset;
    uint32_t code;
  };
  // A zero range far past its entry's LastFileOffset, then one whose entry
  // claims the same far offset, then a second entry that does.
  for (const Case& c : {Case{kTiB, 0, 0x3C0060}, Case{kTiB, 4 * kMB + kTiB, 0x3C0061}}) {
    LogImage image;
    std::fill_n(image.bytes.begin() + kTarget, 4096, 0xEE);
    image.Add(0, 5, 0, {DataDescriptor(kTarget, 0x11), ZeroDescriptor(4 * kMB, c.zeroLength)}, c.lastFileOffset);
    const std::vector<uint8_t> before = image.bytes;
    EXPECT_EQ(PlayBounded(image.bytes, capacity).Code(), c.code);
    EXPECT_EQ(image.bytes, before);  // not even the data sector before it
    auto opened = Catch([&] { VhdxTest::OpenImage(before, false); });
    EXPECT_EQ(opened.Code(), c.code);
  }
  {
    LogImage image;
    image.Add(0, 5, 0, {ZeroDescriptor(kTarget, 4096)});
    image.Add(4096, 6, 0, {DataDescriptor(kTarget, 0x22)}, 4 * kMB + kMaxLogReplayGrowth + 1);
    const std::vector<uint8_t> before = image.bytes;
    EXPECT_EQ(CodeAndMessage(PlayBounded(image.bytes, capacity)),
              "0x3C0061 The log is corrupt: replaying it would grow the file from 4194304 to 1077936129 bytes, more "
              "than the 1073741824 bytes a replay may add.");
    EXPECT_EQ(image.bytes, before);
  }
  // Growth within the bound is what a writer that crashed before its file
  // growth reached the disk needs: the file ends exactly where the log says.
  LogImage image;
  const uint64_t grown = image.bytes.size() + 16 * kMB;
  image.Add(0, 5, 0, {ZeroDescriptor(grown - 8 * kMB, 8 * kMB), DataDescriptor(grown - 4096, 0x33)}, grown);
  ASSERT_TRUE(PlayBounded(image.bytes, capacity).IsSuccess());
  ASSERT_EQ(image.bytes.size(), grown);
  EXPECT_EQ(image.At(grown - 8 * kMB), 0);
  EXPECT_EQ(image.At(grown - 1), 0x33);
}

TEST(Log, ScanReadsEachSectorAboutOnce) {
  // An incomplete sequence of 254 one-sector entries (its Tail names no
  // entry of it), and entries whose descriptor count claims every sector
  // after them while the next sector is another entry's header. Scanning
  // from each 4 KB position must not read the rest of the area again.
  const uint32_t real = 254 * 4096;  // a genuine two-sector entry ends the area
  for (int layout = 0; layout < 2; ++layout) {
    LogImage image;
    for (uint32_t i = 0; i < 254; ++i) {
      const uint32_t position = i * 4096;
      if (layout == 0) {
        image.Add(position, 100 + i, real, {});
        continue;
      }
      image.Add(position, 100, 0, std::vector<VhdxTest::LogDescriptor>(126, ZeroDescriptor(kTarget, 4096)));
      uint8_t* header = image.bytes.data() + kLog + position;
      const uint32_t sectors = (static_cast<uint32_t>(kMB) - position) / 4096;
      StoreLe32(header + 8, sectors * 4096);              // EntryLength
      StoreLe32(header + 24, 126 + 128 * (sectors - 1));  // DescriptorCount
    }
    image.Add(real, 1, real, {DataDescriptor(kTarget, 0x44)});
    VhdxTest::MemoryFile memory(image.bytes);
    auto counting = std::make_shared<VhdxTest::CountingFile>(memory.file);
    ASSERT_TRUE(PlayLog(*counting));
    EXPECT_EQ(memory.Bytes()[kTarget], 0x44) << layout;
    EXPECT_LE(counting->readBytes, 3 * kMB) << layout;  // the log is 1 MB
  }
}

TEST(Log, OpeningReadOnlyReplaysInMemoryAndWritableOnDisk) {
  LogImage image;
  // The log rewrites the virtual size item (metadata region at 2 MB).
  std::vector<uint8_t> sector(image.bytes.begin() + 2 * kMB + 65536, image.bytes.begin() + 2 * kMB + 65536 + 4096);
  StoreLe64(sector.data() + 8, 200 * kMB);
  VhdxTest::LogDescriptor descriptor = DataDescriptor(2 * kMB + 65536, 0);
  descriptor.sector = sector;
  image.Add(0, 1, 0, {descriptor});
  const std::vector<uint8_t> original = image.bytes;

  auto readOnly = VhdxTest::OpenImage(original, false);
  EXPECT_TRUE(readOnly.disk->GetParts().logReplayed);
  EXPECT_EQ(readOnly.disk->GetGeometry().virtualSize, 200 * kMB);
  EXPECT_EQ(readOnly.core->Bytes(), original);
  EXPECT_TRUE(HeaderInfo::Read(*readOnly.disk->GetParts().files->RawFile()).logGuid.IsNull());

  auto writable = VhdxTest::OpenImage(original, true);
  EXPECT_TRUE(writable.disk->GetParts().logReplayed);
  EXPECT_EQ(writable.disk->GetGeometry().virtualSize, 200 * kMB);
  VhdxTest::MemoryFile after(writable.core->Bytes());
  HeaderInfo header = HeaderInfo::Read(*after.file);
  EXPECT_TRUE(header.logGuid.IsNull());
  // Replay modified the file, so its FileWriteGuid was renewed first.
  VhdxTest::MemoryFile before(original);
  EXPECT_NE(header.fileWriteGuid, HeaderInfo::Read(*before.file).fileWriteGuid);
  EXPECT_EQ(header.dataWriteGuid, HeaderInfo::Read(*before.file).dataWriteGuid);
  EXPECT_FALSE(VhdxTest::OpenImage(writable.core->Bytes(), false).disk->GetParts().logReplayed);
}

}  // namespace
}  // namespace Vhdx
