#include "disk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "agent_error.h"
#include "digest.h"
#include "io_buffer.h"

namespace Hvagent {

namespace {

constexpr uint64_t kChunkBytes = 4 << 20;
constexpr size_t kHashSlice = 256 << 10;
constexpr uint64_t kWritebackEvery = 32 << 20;
constexpr size_t kReadAhead = 3;  // buffers: one being written, two read ahead

// A point's data file read front to back, in the pieces the restore writes,
// by a thread of its own that checks the digest on the way: the writer takes
// each piece in order and hands its buffer back once it is written. The
// reader also starts the writeback of the disk being filled, since that
// call may wait for the device's queue and the writer need not.
class PieceReader {
 public:
  PieceReader(const std::string& path, const DiskRecord& record, const std::vector<Extent>& pieces,
              const Writeback* writeback)
      : path_(path), expected_(record.dataBytes), xxh3Expected_(record.xxh3), sha256Expected_(record.sha256),
        sectorSize_(record.sectorSize), pieces_(pieces), writeback_(writeback) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Fail(kChecksumMismatch, "The data file '" + path + "' is missing.", errno);
    struct stat st;
    if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) != expected_) {
      ::close(fd_);
      Mismatch();
    }
    // Past the page cache where the file system allows it: a restore reads
    // each byte once, and filling fresh cache pages cost more than the
    // device's own reads.
    direct_ = SetDirectIo(fd_, true);
    if (!direct_) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t most = 0;
    for (const Extent& piece : pieces_) most = std::max(most, piece.length);
    for (size_t i = 0; i < std::min(kReadAhead, pieces_.size()); ++i) buffers_.emplace_back(most * sectorSize_);
    thread_ = std::thread([this] { Run(); });
  }
  ~PieceReader() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    ::close(fd_);
  }
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;

  // Waits for the next piece; throws what stopped the reader before it.
  uint8_t* Take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ready_ > taken_ || failure_; });
    if (ready_ <= taken_) std::rethrow_exception(failure_);
    return buffers_[taken_++ % buffers_.size()].data();
  }
  // The piece taken last is written: its buffer may be read into again.
  void Release() {
    {
      std::lock_guard lock(mutex_);
      ++released_;
    }
    changed_.notify_all();
  }
  // Throws unless the whole file was read and its digest is the expected one.
  void Finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return done_; });
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  [[noreturn]] void Mismatch() const { Fail(kChecksumMismatch, "The checksum of '" + path_ + "' does not match."); }

  void Run() {
    try {
      Xxh3 xxh3;
      Sha256 sha256;  // only for points that recorded no XXH3
      const bool fast = !xxh3Expected_.empty();
      uint64_t sinceWriteback = kWritebackEvery;
      for (size_t i = 0; i < pieces_.size(); ++i) {
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return stop_ || i - released_ < buffers_.size(); });
          if (stop_) break;
        }
        if (writeback_ && sinceWriteback >= kWritebackEvery) {
          writeback_->Start();
          sinceWriteback = 0;
        }
        uint8_t* const buffer = buffers_[i % buffers_.size()].data();
        const size_t bytes = pieces_[i].length * sectorSize_;
        // A direct read takes the piece at once, as the device likes it;
        // through the cache each slice is hashed right after it is read,
        // while it is still in the processor's cache.
        const size_t step = direct_ ? bytes : kHashSlice;
        for (size_t slice = 0; slice < bytes; slice += step) {
          const size_t length = std::min(step, bytes - slice);
          ReadExactly(buffer + slice, length);
          if (fast) {
            xxh3.Update(buffer + slice, length);
          } else {
            sha256.Update(buffer + slice, length);
          }
        }
        sinceWriteback += bytes;
        {
          std::lock_guard lock(mutex_);
          ++ready_;
        }
        changed_.notify_all();
      }
      bool complete;
      {
        std::lock_guard lock(mutex_);
        complete = !stop_;
      }
      if (complete) {
        ReadThroughCache();  // a direct read of one byte is refused
        uint8_t extra;
        ssize_t got;
        do {
          got = ::read(fd_, &extra, 1);
        } while (got < 0 && errno == EINTR);
        if (read_ != expected_ || got != 0 || (fast ? xxh3.HexDigest() != xxh3Expected_
                                                    : sha256.HexDigest() != sha256Expected_)) {
          Mismatch();
        }
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      failure_ = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
  }

  void ReadThroughCache() {
    if (direct_) SetDirectIo(fd_, false);
    direct_ = false;
  }

  void ReadExactly(uint8_t* at, size_t left) {
    while (left) {
      ssize_t got = ::read(fd_, at, left);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && errno == EINVAL && direct_) {
        // Not aligned as this file system wants direct reads to be.
        ReadThroughCache();
        continue;
      }
      if (got < 0) Fail(kIoFailed, "Cannot read '" + path_ + "'.", errno);
      if (got == 0) Mismatch();
      at += got;
      left -= static_cast<size_t>(got);
      read_ += static_cast<uint64_t>(got);
    }
  }

  const std::string path_;
  const uint64_t expected_;
  const std::string xxh3Expected_, sha256Expected_;
  const uint32_t sectorSize_;
  const std::vector<Extent>& pieces_;
  const Writeback* const writeback_;
  int fd_ = -1;
  bool direct_ = false;  // reading past the page cache
  uint64_t read_ = 0;  // the reader thread's alone
  std::vector<IoBuffer> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t ready_ = 0, taken_ = 0, released_ = 0;
  bool stop_ = false, done_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once everything it uses exists
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
  IoBuffer buffer(kChunkBytes);
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
  {
    PieceReader reader(dataPath, record, pieces, writeback);
    for (const Extent& piece : pieces) {
      Check(disk.IO(Fdisk::kIoWrite, reader.Take(), piece.start, piece.length),
            "Cannot write sectors " + std::to_string(piece.start) + " to " +
                std::to_string(piece.start + piece.length - 1) + ".");
      reader.Release();
      totals.read += piece.length * sectorSize;
      totals.stored += piece.length * sectorSize;
      progress.Advance(piece.length * sectorSize);
    }
    reader.Finish();
  }
  if (!writeZeros) return;
  uint64_t longest = 0;
  for (const Extent& run : record.zeroRuns) longest = std::max(longest, std::min(chunk, run.length));
  std::vector<uint8_t> zeros(longest * sectorSize);
  for (const Extent& run : record.zeroRuns) {
    for (uint64_t at = run.start; at < run.start + run.length;) {
      const uint64_t count = std::min(chunk, run.start + run.length - at);
      Check(disk.IO(Fdisk::kIoWrite, zeros.data(), at, count),
            "Cannot write sectors " + std::to_string(at) + " to " + std::to_string(at + count - 1) + ".");
      ++totals.zeroRuns;
      totals.zeroBytes += count * sectorSize;
      at += count;
    }
  }
}

}  // namespace Hvagent
