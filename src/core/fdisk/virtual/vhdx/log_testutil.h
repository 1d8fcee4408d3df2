// A test-only writer of log entries, to build files with pending logs.
#pragma once

#include <cstdint>
#include <vector>

#include "core/common/guid.h"

namespace VhdxTest {

struct LogDescriptor {
  bool zero = false;
  uint64_t fileOffset = 0;
  uint64_t zeroLength = 0;      // zero descriptors
  std::vector<uint8_t> sector;  // data descriptors: the 4096 bytes to write
};

struct LogEntrySpec {
  Common::Guid logGuid;
  uint64_t sequenceNumber = 1;
  uint32_t tail = 0;
  uint64_t flushedFileOffset = 0;
  uint64_t lastFileOffset = 0;
  std::vector<LogDescriptor> descriptors;
};

// Writes the entry at position inside the log area that starts at logOffset
// and returns its length in bytes (whole sectors, checksum set).
uint32_t WriteLogEntry(std::vector<uint8_t>& file, uint64_t logOffset, uint32_t position, const LogEntrySpec& entry);

// A data descriptor whose sector is filled with value.
LogDescriptor DataDescriptor(uint64_t fileOffset, uint8_t value);
LogDescriptor ZeroDescriptor(uint64_t fileOffset, uint64_t length);

// Rewrites both headers of an image with this LogGuid (and log area).
void SetHeaderLog(std::vector<uint8_t>& file, const Common::Guid& logGuid, uint64_t logOffset, uint32_t logLength);

}  // namespace VhdxTest
