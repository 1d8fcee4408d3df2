#include "core/fdisk/virtual/vhdx/log_testutil.h"

#include <cstring>

#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/log.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace VhdxTest {

using namespace Vhdx;

uint32_t WriteLogEntry(std::vector<uint8_t>& file, uint64_t logOffset, uint32_t position, const LogEntrySpec& entry) {
  const uint32_t count = static_cast<uint32_t>(entry.descriptors.size());
  const uint32_t additional =
      count > kDescriptorsInFirstSector
          ? (count - kDescriptorsInFirstSector + kDescriptorsPerSector - 1) / kDescriptorsPerSector
          : 0;
  uint32_t dataSectors = 0;
  for (const auto& d : entry.descriptors) dataSectors += d.zero ? 0 : 1;
  const uint32_t sectors = 1 + additional + dataSectors;
  std::vector<uint8_t> image(size_t{sectors} * kLogSector, 0);

  StoreLe32(image.data(), kLogEntrySignature);
  StoreLe32(image.data() + 8, sectors * kLogSector);
  StoreLe32(image.data() + 12, entry.tail);
  StoreLe64(image.data() + 16, entry.sequenceNumber);
  StoreLe32(image.data() + 24, count);
  entry.logGuid.Store(image.data() + 32);
  StoreLe64(image.data() + 48, entry.flushedFileOffset);
  StoreLe64(image.data() + 56, entry.lastFileOffset);

  uint32_t dataIndex = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const LogDescriptor& d = entry.descriptors[i];
    size_t at = i < kDescriptorsInFirstSector
                    ? 64 + 32 * i
                    : kLogSector * (1 + (i - kDescriptorsInFirstSector) / kDescriptorsPerSector) +
                          32 * ((i - kDescriptorsInFirstSector) % kDescriptorsPerSector);
    uint8_t* p = image.data() + at;
    StoreLe64(p + 16, d.fileOffset);
    StoreLe64(p + 24, entry.sequenceNumber);
    if (d.zero) {
      StoreLe32(p, kLogZeroSignature);
      StoreLe64(p + 8, d.zeroLength);
      continue;
    }
    StoreLe32(p, kLogDescriptorSignature);
    std::memcpy(p + 4, d.sector.data() + 4092, 4);
    std::memcpy(p + 8, d.sector.data(), 8);
    uint8_t* data = image.data() + size_t{1 + additional + dataIndex++} * kLogSector;
    std::memcpy(data, d.sector.data(), kLogSector);
    StoreLe32(data, kLogDataSignature);
    StoreLe32(data + 4, static_cast<uint32_t>(entry.sequenceNumber >> 32));
    StoreLe32(data + 4092, static_cast<uint32_t>(entry.sequenceNumber));
  }
  StoreLe32(image.data() + 4, Crc32c(0, image.data(), image.size()));
  if (file.size() < logOffset + position + image.size()) file.resize(logOffset + position + image.size());
  std::memcpy(file.data() + logOffset + position, image.data(), image.size());
  return static_cast<uint32_t>(image.size());
}

LogDescriptor DataDescriptor(uint64_t fileOffset, uint8_t value) {
  return {false, fileOffset, 0, std::vector<uint8_t>(kLogSector, value)};
}

LogDescriptor ZeroDescriptor(uint64_t fileOffset, uint64_t length) { return {true, fileOffset, length, {}}; }

void SetHeaderLog(std::vector<uint8_t>& file, const Common::Guid& logGuid, uint64_t logOffset, uint32_t logLength) {
  MemoryFile memory(std::move(file));
  HeaderInfo info = HeaderInfo::Read(*memory.file);
  info.logGuid = logGuid;
  info.logOffset = logOffset;
  info.logLength = logLength;
  info.Write(*memory.file);
  file = std::move(memory.Bytes());
}

}  // namespace VhdxTest
