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
  uint64_t DataEnd() const override { ThrowAccessToInvalid(); }
  void Apply(File&) const override { ThrowAccessToInvalid(); }

 private:
  [[noreturn]] static void ThrowAccessToInvalid() {
    HV_THROW(Code::kVhdxLogEntryInvalid, Msg::kVhdxLogEntryInvalid, "ThrowAccessToInvalid");
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
  ValidLogEntry(uint32_t position, const EntryHeader& header, std::vector<std::shared_ptr<DataOperation>> operations,
                uint64_t dataEnd)
      : position_(position), header_(header), operations_(std::move(operations)), dataEnd_(dataEnd) {}
  bool IsValid() const override { return true; }
  uint32_t Position() const override { return position_; }
  uint32_t EntryLength() const override { return header_.entryLength; }
  uint32_t Tail() const override { return header_.tail; }
  uint64_t SequenceNumber() const override { return header_.sequenceNumber; }
  Common::Guid LogGuid() const override { return header_.logGuid; }
  uint64_t FlushedFileOffset() const override { return header_.flushedFileOffset; }
  uint64_t LastFileOffset() const override { return header_.lastFileOffset; }
  uint64_t DataEnd() const override { return dataEnd_; }
  void Apply(File& file) const override {
    for (const auto& operation : operations_) operation->Apply(file);
  }

 private:
  uint32_t position_;
  EntryHeader header_;
  std::vector<std::shared_ptr<DataOperation>> operations_;
  uint64_t dataEnd_;
};

std::shared_ptr<LogEntry> Invalid() { return std::make_shared<InvalidLogEntry>(); }

// A data descriptor waiting for its data sector.
struct PendingData {
  size_t operation;  // its place among the entry's operations
  uint32_t index;    // within the descriptor sector it came from
  bool inFirst;      // whether that was the entry's first sector
  uint64_t fileOffset;
  uint8_t leading[8];
  uint8_t trailing[4];
};

void TraceDescriptorFailed(uint32_t index, bool inFirst) {
  LogTrace(Msg::kVhdxTraceDescriptorFailed, {Dec(index)});
  LogTrace(inFirst ? Msg::kVhdxTraceHeadingFailed : Msg::kVhdxTraceAdditionalFailed);
}

// Reads and checks the entry at position. Descriptor sectors are checked
// before any data sector is read and each sector is checked before the next
// one is read, so a malformed entry costs no more than the sectors up to the
// first bad one, and no sector is read on behalf of two entries' headers.
// Operations are built only when keepOperations is set; the header values,
// the data end and the validity are the same either way.
bool ReadEntry(const LogScanner& scanner, uint32_t position, bool keepOperations, EntryHeader& header,
               std::vector<std::shared_ptr<DataOperation>>& operations, uint64_t& dataEnd) {
  LogTrace(Msg::kVhdxTraceReadingEntry, {Dec(position)});
  uint8_t sector[kLogSector];
  scanner.file.Read(scanner.offset + position, kLogSector, sector);
  if (LoadLe32(sector) != kLogEntrySignature) {
    LogTrace(Msg::kVhdxTraceHeaderInvalid);
    return false;
  }
  header = {LoadLe32(sector + 8),  LoadLe32(sector + 12),           LoadLe64(sector + 16),
            LoadLe32(sector + 24), Common::Guid::Load(sector + 32), LoadLe64(sector + 48),
            LoadLe64(sector + 56)};
  LogTrace(Msg::kVhdxTraceEntry, {Dec(header.entryLength), Dec(header.tail), Dec(header.sequenceNumber),
                                  Dec(header.descriptorCount), Common::GuidToWideText(header.logGuid)});
  // An entry is whole sectors inside the log area and never wraps.
  if (header.entryLength < kLogSector || header.entryLength % kLogSector != 0 ||
      header.entryLength > scanner.length - position) {
    LogTrace(Msg::kVhdxTraceHeaderInvalid);
    return false;
  }
  const uint64_t sectorCount = header.entryLength / kLogSector;
  const uint64_t sequence = header.sequenceNumber;
  const uint32_t stored = LoadLe32(sector + 4);
  uint32_t crc = Crc32cWithZeroedField(sector, kLogSector, 4);

  uint64_t additional = 0;
  if (header.descriptorCount > kDescriptorsInFirstSector) {
    additional = (uint64_t{header.descriptorCount} - kDescriptorsInFirstSector + kDescriptorsPerSector - 1) /
                 kDescriptorsPerSector;
    LogTrace(Msg::kVhdxTraceAdditionalSectors, {Dec(additional)});
    if (1 + additional > sectorCount) {
      LogTrace(Msg::kVhdxTraceAdditionalFailed);
      return false;
    }
  }
  uint64_t next = 1;  // the next sector of the entry to read
  auto readNext = [&] {
    scanner.file.Read(scanner.offset + position + next * kLogSector, kLogSector, sector);
    crc = Crc32c(crc, sector, kLogSector);
    ++next;
  };

  operations.clear();
  dataEnd = 0;
  std::vector<PendingData> pending;
  const uint64_t dataRoom = sectorCount - 1 - additional;
  uint32_t remaining = header.descriptorCount;
  for (uint64_t s = 0; s <= additional && remaining; ++s) {
    const bool inFirst = s == 0;
    if (!inFirst) readNext();
    const uint8_t* descriptors = inFirst ? sector + 64 : sector;
    const uint32_t inSector = std::min(remaining, inFirst ? kDescriptorsInFirstSector : kDescriptorsPerSector);
    for (uint32_t i = 0; i < inSector; ++i) {
      const uint8_t* d = descriptors + 32 * i;
      const uint32_t signature = LoadLe32(d);
      const uint64_t descriptorSequence = LoadLe64(d + 24);
      const uint64_t fileOffset = LoadLe64(d + 16);
      if ((signature != kLogZeroSignature && signature != kLogDescriptorSignature) || descriptorSequence != sequence) {
        LogTrace(Msg::kVhdxTraceInvalidDescriptor, {Dec(signature), Dec(descriptorSequence), Dec(sequence)});
        TraceDescriptorFailed(i, inFirst);
        return false;
      }
      if (signature == kLogZeroSignature) {
        const uint64_t length = LoadLe64(d + 8);
        if (fileOffset > INT64_MAX || length > INT64_MAX - fileOffset) {
          TraceDescriptorFailed(i, inFirst);
          return false;
        }
        dataEnd = std::max(dataEnd, fileOffset + length);
        if (keepOperations) operations.push_back(std::make_shared<ZeroingDataOperation>(fileOffset, length));
        continue;
      }
      if (fileOffset > INT64_MAX - kLogSector || pending.size() >= dataRoom) {
        TraceDescriptorFailed(i, inFirst);
        return false;
      }
      dataEnd = std::max(dataEnd, fileOffset + kLogSector);
      PendingData data{operations.size(), i, inFirst, fileOffset, {}, {}};
      std::memcpy(data.leading, d + 8, 8);
      std::memcpy(data.trailing, d + 4, 4);
      pending.push_back(data);
      if (keepOperations) operations.push_back(nullptr);
    }
    remaining -= inSector;
  }
  next = 1 + additional;  // data sectors follow every descriptor sector
  for (const PendingData& data : pending) {
    readNext();
    const uint32_t dataSignature = LoadLe32(sector);
    const uint64_t dataSequence = (uint64_t{LoadLe32(sector + 4)} << 32) | LoadLe32(sector + 4092);
    if (dataSignature != kLogDataSignature || dataSequence != sequence) {
      LogTrace(Msg::kVhdxTraceInvalidDataSector, {Dec(dataSignature), Dec(dataSequence), Dec(sequence)});
      TraceDescriptorFailed(data.index, data.inFirst);
      return false;
    }
    if (!keepOperations) continue;
    std::memcpy(sector, data.leading, 8);
    std::memcpy(sector + 4092, data.trailing, 4);
    operations[data.operation] = std::make_shared<FilledDataOperation>(data.fileOffset, sector);
  }
  if (crc != stored) {
    LogTrace(Msg::kVhdxTraceChecksum);
    return false;
  }
  LogTrace(Msg::kVhdxTraceEntryDone, {Dec(uint64_t{header.descriptorCount})});
  return true;
}

// What the scan keeps of each 4 KB slot of the log area.
struct Slot {
  bool read = false;
  bool usable = false;    // a valid entry with the header's LogGuid
  bool resolved = false;  // last and complete are known
  bool linked = false;    // the entry after it continues its sequence
  bool complete = false;  // the sequence from here holds the entry named by its last entry's Tail
  uint32_t length = 0;
  uint32_t tail = 0;
  uint32_t last = 0;  // slot of the last entry of the sequence from here
  uint64_t sequenceNumber = 0;
};

// The sequences of a log area, each entry read once however many starting
// points share it.
class SequenceIndex {
 public:
  SequenceIndex(const LogScanner& scanner, const Common::Guid& logGuid)
      : scanner_(scanner), logGuid_(logGuid), slots_(scanner.length / kLogSector) {}

  const Slot& Resolve(uint32_t start) {
    std::vector<uint32_t> path;
    for (uint32_t p = start;;) {
      Slot& slot = Load(p);
      if (!slot.usable || slot.resolved) break;
      path.push_back(p);
      const uint32_t q = Next(p);
      const Slot& after = Load(q);
      slot.linked = after.usable && after.sequenceNumber == slot.sequenceNumber + 1;
      if (!slot.linked) break;
      p = q;
    }
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      Slot& slot = slots_[*it];
      const Slot* after = slot.linked ? &slots_[Next(*it)] : nullptr;
      slot.last = after ? after->last : *it;
      slot.complete = slots_[slot.last].tail == *it * kLogSector || (after && after->complete);
      slot.resolved = true;
    }
    return slots_[start];
  }
  const Slot& At(uint32_t slot) const { return slots_[slot]; }
  uint32_t Next(uint32_t slot) const {
    return static_cast<uint32_t>((uint64_t{slot} * kLogSector + slots_[slot].length) % scanner_.length / kLogSector);
  }

 private:
  Slot& Load(uint32_t index) {
    Slot& slot = slots_[index];
    if (slot.read) return slot;
    slot.read = true;
    EntryHeader header{};
    std::vector<std::shared_ptr<DataOperation>> none;
    uint64_t dataEnd = 0;
    if (!ReadEntry(scanner_, index * kLogSector, false, header, none, dataEnd)) return slot;
    slot.usable = header.logGuid == logGuid_;
    slot.length = header.entryLength;
    slot.tail = header.tail;
    slot.sequenceNumber = header.sequenceNumber;
    return slot;
  }

  const LogScanner& scanner_;
  Common::Guid logGuid_;
  std::vector<Slot> slots_;
};

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
  const uint64_t size = file.GetSize();
  const uint64_t end = offset_ + length_;
  if (offset_ < size) file.WriteZero(offset_, std::min(end, size) - offset_);
  if (end > size) file.Expand(end);
}

std::shared_ptr<LogEntry> ReadLogEntry(const LogScanner& scanner, uint32_t position) {
  EntryHeader header{};
  std::vector<std::shared_ptr<DataOperation>> operations;
  uint64_t dataEnd = 0;
  if (!ReadEntry(scanner, position, true, header, operations, dataEnd)) return Invalid();
  return std::make_shared<ValidLogEntry>(position, header, std::move(operations), dataEnd);
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
  // Without at least one whole sector there is nothing to scan.
  if (scanner.length < kLogSector || scanner.length % kLogSector != 0) return {};
  SequenceIndex index(scanner, logGuid);
  bool found = false;
  uint32_t best = 0;
  uint64_t bestNumber = 0;
  // Walk the area in 4 KB steps, jumping over complete sequences.
  for (uint32_t start = 0;;) {
    const Slot& slot = index.Resolve(start / kLogSector);
    if (slot.usable && slot.complete) {
      const Slot& last = index.At(slot.last);
      if (!found || bestNumber < last.sequenceNumber) {
        found = true;
        best = start / kLogSector;
        bestNumber = last.sequenceNumber;
      }
      const uint32_t end = index.Next(slot.last) * kLogSector;
      if (start < end) {
        start = end;
        continue;
      }
      break;
    }
    const uint32_t next = static_cast<uint32_t>((uint64_t{start} + kLogSector) % scanner.length);
    if (start >= next) break;
    start = next;
  }
  LogSequence result;
  if (!found) return result;
  for (uint32_t slot = best;; slot = index.Next(slot)) {
    std::shared_ptr<LogEntry> entry = ReadLogEntry(scanner, slot * kLogSector);
    // The entry was valid a moment ago; reading it again must agree.
    if (!entry->IsValid()) HV_THROW(Code::kVhdxLogEntryInvalid, Msg::kVhdxLogEntryInvalid, "FindActiveSequence");
    result.push_back(std::move(entry));
    if (!index.At(slot).linked) break;
  }
  return result;
}

void PlaySequence(const LogSequence& sequence, File& file) {
  if (sequence.empty()) return;
  const LogEntry& last = *sequence.back();
  const uint64_t size = file.GetSize();
  if (size < last.FlushedFileOffset())
    HV_THROW(Code::kVhdxFileTruncated, Msg::kVhdxFileTruncated, "CheckCurrentFileSize");
  // Everything is checked before the first write, so a corrupt log leaves
  // the file as it was.
  uint64_t target = 0;
  for (const auto& entry : sequence) {
    if (entry->DataEnd() > entry->LastFileOffset()) {
      HV_THROW_ARGS(Code::kVhdxLogWritesBeyondEntry, Msg::kVhdxLogWritesBeyondEntry, "CheckLogOperations",
                    "sequenceNumber,end,lastFileOffset",
                    {Dec(entry->SequenceNumber()), Dec(entry->DataEnd()), Dec(entry->LastFileOffset())});
    }
    target = std::max(target, entry->LastFileOffset());
  }
  if (target > size && target - size > kMaxLogReplayGrowth) {
    HV_THROW_ARGS(Code::kVhdxLogGrowthTooLarge, Msg::kVhdxLogGrowthTooLarge, "CheckLogOperations",
                  "size,lastFileOffset,limit", {Dec(size), Dec(target), Dec(kMaxLogReplayGrowth)});
  }
  for (const auto& entry : sequence) entry->Apply(file);
  if (last.LastFileOffset() > file.GetSize()) file.Expand(last.LastFileOffset());
}

bool PlayLog(File& file) {
  HeaderInfo info = HeaderInfo::Read(file);
  if (info.logGuid.IsNull()) return false;
  // The area must lie in the file: entry buffers are sized from it.
  if (info.logOffset > file.GetSize() || info.logLength > file.GetSize() - info.logOffset)
    HV_THROW(Code::kEndOfFile, Msg::kFileEndReached, "PlayLog");
  LogScanner scanner{file, info.logOffset, info.logLength};
  LogSequence sequence = FindActiveSequence(scanner, info.logGuid);
  if (sequence.empty()) HV_THROW(Code::kVhdxLogEmpty, Msg::kVhdxLogEmpty, "PlayLog");
  PlaySequence(sequence, file);
  info = HeaderInfo::Read(file);
  info.logGuid = Common::Guid();
  info.Write(file);
  file.Flush();
  return true;
}

}  // namespace Vhdx
