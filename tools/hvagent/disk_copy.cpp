#include "disk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <future>

#include "agent_error.h"
#include "sha256.h"

namespace Hvagent {

namespace {

constexpr uint64_t kChunkBytes = 4 << 20;
constexpr size_t kHashSlice = 256 << 10;

// A point's data file read front to back and hashed on the way, so that a
// restore checks it while writing instead of in a pass of its own.
class InputFile {
 public:
  InputFile(const std::string& path, uint64_t expectedBytes) : path_(path), expected_(expectedBytes) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Fail(kChecksumMismatch, "The data file '" + path + "' is missing.", errno);
    struct stat st;
    if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) != expected_) {
      ::close(fd_);
      Mismatch();
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  ~InputFile() { ::close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Hashes each slice right after reading it, while it is still in the
  // processor's cache, rather than the whole piece from memory afterwards.
  void ReadExactly(uint8_t* data, size_t size) {
    for (size_t slice = 0; slice < size; slice += kHashSlice) {
      uint8_t* const begin = data + slice;
      const size_t length = std::min(kHashSlice, size - slice);
      uint8_t* at = begin;
      for (size_t left = length; left;) {
        ssize_t got = ::read(fd_, at, left);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Fail(kIoFailed, "Cannot read '" + path_ + "'.", errno);
        if (got == 0) Mismatch();
        at += got;
        left -= static_cast<size_t>(got);
      }
      hash_.Update(begin, length);
    }
    done_ += size;
  }
  // Throws unless the whole file was read and its digest is the expected one.
  void Finish(const std::string& sha256) {
    uint8_t extra;
    ssize_t got;
    do {
      got = ::read(fd_, &extra, 1);
    } while (got < 0 && errno == EINTR);
    if (done_ != expected_ || got != 0 || hash_.HexDigest() != sha256) Mismatch();
  }

 private:
  [[noreturn]] void Mismatch() const { Fail(kChecksumMismatch, "The checksum of '" + path_ + "' does not match."); }
  std::string path_;
  uint64_t expected_;
  uint64_t done_ = 0;
  int fd_ = -1;
  Sha256 hash_;
};

}  // namespace

Writeback::Writeback(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

Writeback::~Writeback() {
  if (fd_ >= 0) ::close(fd_);
}

void Writeback::Start() const {
  if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

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
                 Progress& progress, Totals& totals, uint64_t pieceBytes, const Writeback* writeback) {
  const uint32_t sectorSize = disk.GetSectorSize();
  if (sectorSize != record.sectorSize || disk.GetSectorCount() < record.sectors) {
    Fail(kFailed, "The disk at " + record.Place() + " does not have the size and sector size of the point.");
  }
  const uint64_t chunk = pieceBytes / sectorSize;
  std::vector<Extent> pieces;
  for (const Extent& extent : record.extents) {
    for (uint64_t at = extent.start; at < extent.start + extent.length; at += chunk) {
      pieces.push_back({at, std::min(chunk, extent.start + extent.length - at)});
    }
  }
  // Buffers no larger than the largest request: a small point costs no
  // large allocation.
  uint64_t most = 0;
  for (const Extent& piece : pieces) most = std::max(most, piece.length);
  if (writeZeros) {
    for (const Extent& run : record.zeroRuns) most = std::max(most, std::min(chunk, run.length));
  }
  // The next piece is read and hashed while the engine writes this one.
  std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(most * sectorSize), std::vector<uint8_t>(most * sectorSize)};
  InputFile input(dataPath, record.dataBytes);
  // The helper thread also starts the writeback of the pieces written so
  // far: the call may wait for the disk's queue, and the writer need not.
  auto readPiece = [&](size_t i) {
    if (writeback) writeback->Start();
    input.ReadExactly(buffers[i % 2].data(), pieces[i].length * sectorSize);
  };
  std::future<void> next;
  if (!pieces.empty()) readPiece(0);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i + 1 < pieces.size()) next = std::async(std::launch::async, readPiece, i + 1);
    const Extent& piece = pieces[i];
    Common::Error written = disk.IO(Fdisk::kIoWrite, buffers[i % 2].data(), piece.start, piece.length);
    if (next.valid()) next.get();  // before a failure unwinds the buffers it fills
    Check(written, "Cannot write sectors " + std::to_string(piece.start) + " to " +
                       std::to_string(piece.start + piece.length - 1) + ".");
    totals.read += piece.length * sectorSize;
    totals.stored += piece.length * sectorSize;
    progress.Advance(piece.length * sectorSize);
  }
  input.Finish(record.sha256);
  if (!writeZeros) return;
  std::vector<uint8_t>& buffer = buffers[0];
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
