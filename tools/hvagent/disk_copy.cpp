#include "disk_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "agent_error.h"

namespace Hvagent {

namespace {

constexpr uint64_t kChunkBytes = 4 << 20;

struct InputFile {
  explicit InputFile(const std::string& path) : path_(path), fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd < 0) Fail(kIoFailed, "Cannot read '" + path + "'.", errno);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  ~InputFile() { ::close(fd); }
  void ReadExactly(uint8_t* data, size_t size) {
    while (size) {
      ssize_t got = ::read(fd, data, size);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) Fail(kChecksumMismatch, "The data file '" + path_ + "' is shorter than its manifest says.");
      data += got;
      size -= static_cast<size_t>(got);
    }
  }
  std::string path_;
  int fd;
};

}  // namespace

uint64_t SectorsIn(const std::vector<Extent>& extents) {
  uint64_t total = 0;
  for (const Extent& e : extents) total += e.length;
  return total;
}

std::vector<Extent> ChangedSectors(VirtualMachineDisk& disk, const std::string& changeId) {
  std::vector<Fdisk::SectorRange> changed;
  Check(disk.GetChangedSectors(Common::Utf8ToUtf16(changeId), {0, disk.GetSectorCount()}, changed),
        "Cannot get the changed sectors since '" + changeId + "'.");
  std::vector<Extent> out;
  for (const Fdisk::SectorRange& range : changed) AppendExtent(out, {range.start, range.length});
  return out;
}

void BackupSectors(VirtualMachineDisk& disk, const std::vector<Extent>& ranges, DataWriter& writer, DiskRecord& record,
                   Progress& progress, Totals& totals) {
  const uint32_t sectorSize = disk.GetSectorSize();
  const uint64_t chunk = kChunkBytes / sectorSize;
  std::vector<uint8_t> buffer(kChunkBytes);
  for (const Extent& range : ranges) {
    for (uint64_t at = range.start; at < range.start + range.length;) {
      const uint64_t count = std::min(chunk, range.start + range.length - at);
      Check(disk.IO(Fdisk::kIoRead, buffer.data(), at, count),
            "Cannot read sectors " + std::to_string(at) + " to " + std::to_string(at + count - 1) + ".");
      ForEachRun(buffer.data(), at, count, sectorSize, [&](uint64_t first, uint64_t length, bool zero) {
        if (zero) {
          AppendExtent(record.zeroRuns, {first, length});
          ++totals.zeroRuns;
          totals.zeroBytes += length * sectorSize;
        } else {
          writer.Write(buffer.data() + (first - at) * sectorSize, length * sectorSize);
          AppendExtent(record.extents, {first, length});
          totals.stored += length * sectorSize;
        }
      });
      totals.read += count * sectorSize;
      progress.Advance(count * sectorSize);
      at += count;
    }
  }
}

void ApplyRecord(VirtualMachineDisk& disk, const DiskRecord& record, const std::string& dataPath, bool writeZeros,
                 Progress& progress, Totals& totals) {
  const uint32_t sectorSize = disk.GetSectorSize();
  if (sectorSize != record.sectorSize || disk.GetSectorCount() < record.sectors) {
    Fail(kFailed, "The disk at " + record.Place() + " does not have the size and sector size of the point.");
  }
  const uint64_t chunk = kChunkBytes / sectorSize;
  std::vector<uint8_t> buffer(kChunkBytes);
  InputFile input(dataPath);
  for (const Extent& extent : record.extents) {
    for (uint64_t at = extent.start; at < extent.start + extent.length;) {
      const uint64_t count = std::min(chunk, extent.start + extent.length - at);
      input.ReadExactly(buffer.data(), count * sectorSize);
      Check(disk.IO(Fdisk::kIoWrite, buffer.data(), at, count),
            "Cannot write sectors " + std::to_string(at) + " to " + std::to_string(at + count - 1) + ".");
      totals.read += count * sectorSize;
      totals.stored += count * sectorSize;
      progress.Advance(count * sectorSize);
      at += count;
    }
  }
  if (!writeZeros) return;
  std::fill(buffer.begin(), buffer.end(), 0);
  for (const Extent& run : record.zeroRuns) {
    for (uint64_t at = run.start; at < run.start + run.length;) {
      const uint64_t count = std::min(chunk, run.start + run.length - at);
      Check(disk.IO(Fdisk::kIoWrite, buffer.data(), at, count),
            "Cannot write sectors " + std::to_string(at) + " to " + std::to_string(at + count - 1) + ".");
      ++totals.zeroRuns;
      totals.zeroBytes += count * sectorSize;
      at += count;
    }
  }
}

}  // namespace Hvagent
