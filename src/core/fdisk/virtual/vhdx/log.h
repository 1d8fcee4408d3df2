// The log: reading entries, finding the active sequence and replaying it.
//
// Entry header (first 64 bytes of its first 4096-byte sector):
//   0 Signature "loge" (4)   4 Checksum (4)        8 EntryLength (4)
//  12 Tail (4)              16 SequenceNumber (8) 24 DescriptorCount (4)
//  28 Reserved (4)          32 LogGuid (16)       48 FlushedFileOffset (8)
//  56 LastFileOffset (8)
// Descriptors (32 bytes): 126 in the first sector from offset 64, then 128
// per additional sector. Zero: "zero", Reserved, ZeroLength (8),
// FileOffset (8), SequenceNumber (8). Data: "desc", TrailingBytes (4),
// LeadingBytes (8), FileOffset (8), SequenceNumber (8); one data sector per
// data descriptor follows the descriptor sectors: "data", SequenceHigh (4),
// bytes 8..4091, SequenceLow (4).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/common/guid.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

inline constexpr uint32_t kLogSector = 4096;
inline constexpr uint32_t kLogEntrySignature = 0x65676F6C;       // "loge"
inline constexpr uint32_t kLogZeroSignature = 0x6F72657A;        // "zero"
inline constexpr uint32_t kLogDescriptorSignature = 0x63736564;  // "desc"
inline constexpr uint32_t kLogDataSignature = 0x61746164;        // "data"
inline constexpr uint32_t kDescriptorsInFirstSector = 126;
inline constexpr uint32_t kDescriptorsPerSector = 128;
// How far a replay may grow the file beyond its current size. A writer logs
// the table updates for blocks it has just allocated; after a crash the file
// may lack those blocks when its growth did not reach the disk. 1 GiB covers
// four blocks of the largest size (256 MiB) or 256 of the usual 4 MiB, and
// keeps a crafted LastFileOffset from filling the host's disk.
inline constexpr uint64_t kMaxLogReplayGrowth = 1ull << 30;

class DataOperation {
 public:
  virtual ~DataOperation() = default;
  virtual void Apply(File& file) const = 0;
  // The end of the bytes it writes.
  virtual uint64_t End() const = 0;
};

class FilledDataOperation final : public DataOperation {
 public:
  FilledDataOperation(uint64_t offset, const uint8_t* sector);
  void Apply(File& file) const override;
  uint64_t End() const override { return offset_ + kLogSector; }

 private:
  uint64_t offset_;
  std::array<uint8_t, kLogSector> sector_;
};

class ZeroingDataOperation final : public DataOperation {
 public:
  ZeroingDataOperation(uint64_t offset, uint64_t length) : offset_(offset), length_(length) {}
  // Zeros past the end of the file are made by growing it, not by writing.
  void Apply(File& file) const override;
  uint64_t End() const override { return offset_ + length_; }

 private:
  uint64_t offset_;
  uint64_t length_;
};

class LogEntry {
 public:
  virtual ~LogEntry() = default;
  virtual bool IsValid() const = 0;
  virtual uint32_t Position() const = 0;
  virtual uint32_t EntryLength() const = 0;
  virtual uint32_t Tail() const = 0;
  virtual uint64_t SequenceNumber() const = 0;
  virtual Common::Guid LogGuid() const = 0;
  virtual uint64_t FlushedFileOffset() const = 0;
  virtual uint64_t LastFileOffset() const = 0;
  // The highest end of the bytes its operations write (0 without any).
  virtual uint64_t DataEnd() const = 0;
  virtual void Apply(File& file) const = 0;
};

struct LogScanner {
  File& file;
  uint64_t offset;
  uint32_t length;
};

using LogSequence = std::vector<std::shared_ptr<LogEntry>>;

// An entry that is malformed in any way is returned invalid (and traced).
std::shared_ptr<LogEntry> ReadLogEntry(const LogScanner& scanner, uint32_t position);
// Consecutive valid entries with the LogGuid from position, which is
// advanced past them.
LogSequence ReadLogSequence(const LogScanner& scanner, const Common::Guid& logGuid, uint32_t& position);
// The complete sequence with the highest final sequence number (the first
// found on equality), or an empty one. Each 4 KB of the area is read about
// once and the memory used is bounded by the area's length.
LogSequence FindActiveSequence(const LogScanner& scanner, const Common::Guid& logGuid);
// Checks the whole sequence before writing anything: 0x3C002A when the file
// is shorter than the last entry's FlushedFileOffset, 0x3C0060 when an
// operation ends beyond its entry's LastFileOffset, 0x3C0061 when the largest
// LastFileOffset exceeds the file size by more than kMaxLogReplayGrowth.
void PlaySequence(const LogSequence& sequence, File& file);
// Replays the active sequence when the header names a log and clears the
// header's LogGuid; false when there was nothing to replay.
bool PlayLog(File& file);

}  // namespace Vhdx
