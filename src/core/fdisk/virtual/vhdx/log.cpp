#include "core/fdisk/virtual/vhdx/log.h"

#include <cstring>
#include <string>

#include "core/common/error.h"
#include "core/common/trace.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"

namespace Vhdx {
namespace {

constexpr uint32_t kTraceFacility = 60;

std::u16string Dec(uint64_t value) { return Common::Utf8ToUtf16(std::to_string(value)); }

void LogTrace(Common::MessageId message, std::initializer_list<std::u16string_view> args = {}) {
  Common::Trace(1, kTraceFacility, 0, message, args);
}

class InvalidLogEntry final : public LogEntry {
 public:
  bool IsValid() const override { return false; }
  uint32_t Position() const override { ThrowAccessToInvalid(); }
  uint32_t EntryLength() const override { ThrowAccessToInvalid(); }
  uint32_t Tail() const override { ThrowAccessToInvalid(); }
  uint64_t SequenceNumber() const override { ThrowAccessToInvalid(); }
  Common::Guid LogGuid() const override { ThrowAccessToInvalid(); }
  uint64_t FlushedFileOffset() const override { ThrowAccessToInvalid(); }
  uint64_t LastFileOffset() const override { ThrowAccessToInvalid(); }
  void Apply(File&) const override { ThrowAccessToInvalid(); }

 private:
  [[noreturn]] static void ThrowAccessToInvalid() {
    HV_THROW(0x3C0029, Msg::kVhdxLogEntryInvalid, "ThrowAccessToInvalid");
  }
};

struct EntryHeader {
  uint32_t entryLength, tail;
  uint64_t sequenceNumber;
  uint32_t descriptorCount;
  Common::Guid logGuid;
  uint64_t flushedFileOffset, lastFileOffset;
};

class ValidLogEntry final : public LogEntry {
 public:
  ValidLogEntry(uint32_t position, const EntryHeader& header, std::vector<std::shared_ptr<DataOperation>> operations)
      : position_(position), header_(header), operations_(std::move(operations)) {}
  bool IsValid() const override { return true; }
  uint32_t Position() const override { return position_; }
  uint32_t EntryLength() const override { return header_.entryLength; }
  uint32_t Tail() const override { return header_.tail; }
  uint64_t SequenceNumber() const override { return header_.sequenceNumber; }
  Common::Guid LogGuid() const override { return header_.logGuid; }
  uint64_t FlushedFileOffset() const override { return header_.flushedFileOffset; }
  uint64_t LastFileOffset() const override { return header_.lastFileOffset; }
  void Apply(File& file) const override {
    for (const auto& operation : operations_) operation->Apply(file);
  }

 private:
  uint32_t position_;
  EntryHeader header_;
  std::vector<std::shared_ptr<DataOperation>> operations_;
};

std::shared_ptr<LogEntry> Invalid() { return std::make_shared<InvalidLogEntry>(); }

// Reads the entry's sectors in order, keeping the running checksum; refuses
// to go past the entry's length.
class EntrySectors {
 public:
  EntrySectors(const LogScanner& scanner, uint32_t position, uint32_t sectors)
      : scanner_(scanner), position_(position), sectors_(sectors) {}
  bool Next(uint8_t* sector, uint32_t& crc) {
    if (next_ >= sectors_) return false;
    scanner_.file.Read(scanner_.offset + position_ + uint64_t{next_} * kLogSector, kLogSector, sector);
    crc = Crc32c(crc, sector, kLogSector);
    ++next_;
    return true;
  }

 private:
  const LogScanner& scanner_;
  uint32_t position_;
  uint32_t sectors_;
  uint32_t next_ = 1;  // the first sector is read by the caller
};

// Interprets one descriptor; false when it is not acceptable.
bool Interpret(const uint8_t* descriptor, uint64_t sequenceNumber, EntrySectors& sectors, uint32_t& crc,
               std::vector<std::shared_ptr<DataOperation>>& operations) {
  uint32_t signature = LoadLe32(descriptor);
  uint64_t descriptorSequence = LoadLe64(descriptor + 24);
  uint64_t fileOffset = LoadLe64(descriptor + 16);
  if ((signature != kLogZeroSignature && signature != kLogDescriptorSignature) ||
      descriptorSequence != sequenceNumber) {
    LogTrace(Msg::kVhdxTraceInvalidDescriptor, {Dec(signature), Dec(descriptorSequence), Dec(sequenceNumber)});
    return false;
  }
  if (signature == kLogZeroSignature) {
    uint64_t length = LoadLe64(descriptor + 8);
    if (fileOffset > INT64_MAX || length > INT64_MAX - fileOffset) return false;
    operations.push_back(std::make_shared<ZeroingDataOperation>(fileOffset, length));
    return true;
  }
  if (fileOffset > INT64_MAX - kLogSector) return false;
  uint8_t sector[kLogSector];
  if (!sectors.Next(sector, crc)) return false;
  uint32_t dataSignature = LoadLe32(sector);
  uint64_t dataSequence = (uint64_t{LoadLe32(sector + 4)} << 32) | LoadLe32(sector + 4092);
  if (dataSignature != kLogDataSignature || dataSequence != sequenceNumber) {
    LogTrace(Msg::kVhdxTraceInvalidDataSector, {Dec(dataSignature), Dec(dataSequence), Dec(sequenceNumber)});
    return false;
  }
  std::memcpy(sector, descriptor + 8, 8);      // LeadingBytes
  std::memcpy(sector + 4092, descriptor + 4, 4);  // TrailingBytes
  operations.push_back(std::make_shared<FilledDataOperation>(fileOffset, sector));
  return true;
}

}  // namespace

FilledDataOperation::FilledDataOperation(uint64_t offset, const uint8_t* sector) : offset_(offset) {
  std::memcpy(sector_.data(), sector, kLogSector);
}

void FilledDataOperation::Apply(File& file) const {
  LogTrace(Msg::kVhdxTraceApplyData, {Dec(offset_)});
  file.Write(offset_, kLogSector, sector_.data());
}

void ZeroingDataOperation::Apply(File& file) const {
  LogTrace(Msg::kVhdxTraceApplyZero, {Dec(offset_), Dec(length_)});
  // One call: the writable file writes it in 4 KB pieces itself, and the
  // in-memory overlay keeps it as one zero range whatever the length.
  file.WriteZero(offset_, length_);
}

std::shared_ptr<LogEntry> ReadLogEntry(const LogScanner& scanner, uint32_t position) {
  LogTrace(Msg::kVhdxTraceReadingEntry, {Dec(position)});
  uint8_t first[kLogSector];
  scanner.file.Read(scanner.offset + position, kLogSector, first);
  if (LoadLe32(first) != kLogEntrySignature) {
    LogTrace(Msg::kVhdxTraceHeaderInvalid);
    return Invalid();
  }
  EntryHeader header{LoadLe32(first + 8),  LoadLe32(first + 12),           LoadLe64(first + 16),
                     LoadLe32(first + 24), Common::Guid::Load(first + 32), LoadLe64(first + 48),
                     LoadLe64(first + 56)};
  LogTrace(Msg::kVhdxTraceEntry, {Dec(header.entryLength), Dec(header.tail), Dec(header.sequenceNumber),
                                  Dec(header.descriptorCount), Common::GuidToWideText(header.logGuid)});
  // An entry is whole sectors inside the log area and never wraps.
  if (header.entryLength < kLogSector || header.entryLength % kLogSector != 0 ||
      header.entryLength > scanner.length - position) {
    LogTrace(Msg::kVhdxTraceHeaderInvalid);
    return Invalid();
  }
  uint32_t sectorCount = header.entryLength / kLogSector;
  uint32_t stored = LoadLe32(first + 4);
  StoreLe32(first + 4, 0);
  uint32_t crc = Crc32c(0, first, kLogSector);

  uint64_t additional = 0;
  if (header.descriptorCount > kDescriptorsInFirstSector) {
    additional = (uint64_t{header.descriptorCount} - kDescriptorsInFirstSector + kDescriptorsPerSector - 1) /
                 kDescriptorsPerSector;
    LogTrace(Msg::kVhdxTraceAdditionalSectors, {Dec(additional)});
    if (1 + additional > sectorCount) {
      LogTrace(Msg::kVhdxTraceAdditionalFailed);
      return Invalid();
    }
  }
  EntrySectors sectors(scanner, position, sectorCount);
  std::vector<uint8_t> descriptorSectors(additional * kLogSector);
  for (uint64_t i = 0; i < additional; ++i) sectors.Next(descriptorSectors.data() + i * kLogSector, crc);

  std::vector<std::shared_ptr<DataOperation>> operations;
  uint32_t remaining = header.descriptorCount;
  uint32_t inFirst = std::min(remaining, kDescriptorsInFirstSector);
  for (uint32_t i = 0; i < inFirst; ++i) {
    if (!Interpret(first + 64 + 32 * i, header.sequenceNumber, sectors, crc, operations)) {
      LogTrace(Msg::kVhdxTraceDescriptorFailed, {Dec(i)});
      LogTrace(Msg::kVhdxTraceHeadingFailed);
      return Invalid();
    }
  }
  remaining -= inFirst;
  for (uint64_t s = 0; s < additional; ++s) {
    uint32_t inSector = std::min(remaining, kDescriptorsPerSector);
    const uint8_t* sector = descriptorSectors.data() + s * kLogSector;
    for (uint32_t i = 0; i < inSector; ++i) {
      if (!Interpret(sector + 32 * i, header.sequenceNumber, sectors, crc, operations)) {
        LogTrace(Msg::kVhdxTraceDescriptorFailed, {Dec(i)});
        LogTrace(Msg::kVhdxTraceAdditionalFailed);
        return Invalid();
      }
    }
    remaining -= inSector;
  }
  if (crc != stored) {
    LogTrace(Msg::kVhdxTraceChecksum);
    return Invalid();
  }
  LogTrace(Msg::kVhdxTraceEntryDone, {Dec(operations.size())});
  return std::make_shared<ValidLogEntry>(position, header, std::move(operations));
}

LogSequence ReadLogSequence(const LogScanner& scanner, const Common::Guid& logGuid, uint32_t& position) {
  LogSequence sequence;
  for (;;) {
    std::shared_ptr<LogEntry> entry = ReadLogEntry(scanner, position);
    if (!entry->IsValid() || !(entry->LogGuid() == logGuid)) break;
    // Strictly increasing numbers also keep a circular chain from looping.
    if (!sequence.empty() && entry->SequenceNumber() != sequence.back()->SequenceNumber() + 1) break;
    position = static_cast<uint32_t>((uint64_t{position} + entry->EntryLength()) % scanner.length);
    sequence.push_back(std::move(entry));
  }
  return sequence;
}

LogSequence FindActiveSequence(const LogScanner& scanner, const Common::Guid& logGuid) {
  LogSequence result;
  // Without at least one whole sector there is nothing to scan.
  if (scanner.length < kLogSector || scanner.length % kLogSector != 0) return result;
  uint32_t start = 0;
  for (;;) {
    uint32_t end = start;
    LogSequence sequence = ReadLogSequence(scanner, logGuid, end);
    bool complete = false;
    if (!sequence.empty()) {
      uint32_t tail = sequence.back()->Tail();
      for (const auto& entry : sequence) complete = complete || entry->Position() == tail;
    }
    if (complete) {
      if (result.empty() || result.back()->SequenceNumber() < sequence.back()->SequenceNumber())
        result = std::move(sequence);
      if (start < end) {
        start = end;
        continue;
      }
      break;
    }
    uint32_t next = static_cast<uint32_t>((uint64_t{start} + kLogSector) % scanner.length);
    if (start < next) {
      start = next;
      continue;
    }
    break;
  }
  return result;
}

void PlaySequence(const LogSequence& sequence, File& file) {
  if (sequence.empty()) return;
  const LogEntry& last = *sequence.back();
  if (file.GetSize() < last.FlushedFileOffset()) HV_THROW(0x3C002A, Msg::kVhdxFileTruncated, "CheckCurrentFileSize");
  for (const auto& entry : sequence) entry->Apply(file);
  if (last.LastFileOffset() > file.GetSize()) file.Expand(last.LastFileOffset());
}

bool PlayLog(File& file) {
  HeaderInfo info = HeaderInfo::Read(file);
  if (info.logGuid.IsNull()) return false;
  // The area must lie in the file: entry buffers are sized from it.
  if (info.logOffset > file.GetSize() || info.logLength > file.GetSize() - info.logOffset)
    HV_THROW(0x40002, Msg::kFileEndReached, "PlayLog");
  LogScanner scanner{file, info.logOffset, info.logLength};
  LogSequence sequence = FindActiveSequence(scanner, info.logGuid);
  if (sequence.empty()) HV_THROW(0x3C002B, Msg::kVhdxLogEmpty, "PlayLog");
  PlaySequence(sequence, file);
  info = HeaderInfo::Read(file);
  info.logGuid = Common::Guid();
  info.Write(file);
  file.Flush();
  return true;
}

}  // namespace Vhdx
