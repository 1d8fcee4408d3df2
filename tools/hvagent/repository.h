// The backup repository: one folder per restore point holding a JSON
// manifest, its SHA-256 and one data file per disk. A point is written under
// a temporary name, flushed and then renamed, so a reader sees it whole or
// not at all.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "digest.h"
#include "io_buffer.h"
#include "runs.h"

namespace Hvagent {

struct DiskRecord {
  std::string bus;  // "ide" or "scsi"
  uint32_t controller = 0, device = 0;
  std::string file;      // the disk file's full path at backup time
  std::string fileName;  // its name, used again when restoring
  uint32_t sectorSize = 512;
  uint64_t sectors = 0;
  std::string changeId;          // the tracker's change ID taken for this point
  std::string since;             // "*" when stored whole, else the previous point's change ID
  std::string reason;            // why the disk was stored whole
  std::vector<Extent> extents;   // stored sectors, in data file order
  std::vector<Extent> zeroRuns;  // sectors that read as zeros
  std::string dataFile;
  uint64_t dataBytes = 0;
  std::string sha256;
  std::string xxh3;  // empty in points written before it was recorded

  std::string Place() const { return bus + ":" + std::to_string(controller) + ":" + std::to_string(device); }
};

struct Manifest {
  uint64_t point = 0;
  std::string time;   // ISO 8601, UTC
  std::string kind;   // "full" or "incremental"
  uint64_t base = 0;  // the point this one builds on; 0 for a full point
  std::string vmcPath;
  std::string vmc;  // the machine file's bytes as they were
  std::map<std::string, std::string> properties;
  std::vector<DiskRecord> disks;

  uint64_t StoredBytes() const;
};

std::string ManifestToJson(const Manifest& manifest);
// Throws kRepositoryDamaged (naming source) when the text is not a manifest.
Manifest ManifestFromJson(const std::string& text, const std::string& source);

// A data file written front to back and hashed on the way. A full buffer
// is hashed (SHA-256) on one thread and written out and hashed (XXH3) on
// another while this one fills the other buffer. The file is written past
// the page cache (O_DIRECT) where the file system allows it: the data have
// to reach the device before the point counts anyway, and copying them
// into fresh cache pages first cost more than the device's own writes.
class DataWriter {
 public:
  explicit DataWriter(std::string path);
  ~DataWriter();
  DataWriter(const DataWriter&) = delete;
  DataWriter& operator=(const DataWriter&) = delete;
  void Write(const uint8_t* data, size_t size);
  // Writes what is buffered, flushes the file to disk; returns its digests.
  Digests Close();
  uint64_t Bytes() const { return bytes_; }

 private:
  // A thread running one job at a time on a full buffer. Hand waits for the
  // job before to end, and Wait for the last one; both rethrow a failure.
  class Stage {
   public:
    explicit Stage(std::function<void(const uint8_t*, size_t)> job);
    ~Stage();
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;
    void Hand(const uint8_t* data, size_t size);
    void Wait();

   private:
    std::function<void(const uint8_t*, size_t)> job_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool busy_ = false, stop_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: it starts once everything it uses exists
  };

  void Drain();
  void WriteOut(const uint8_t* data, size_t size);
  std::string path_;
  int fd_ = -1;
  bool direct_ = false;  // the writer thread's once it runs
  IoBuffer buffers_[2];
  int current_ = 0;
  size_t used_ = 0;
  uint64_t bytes_ = 0;
  uint64_t written_ = 0;  // the writer thread's
  Sha256 sha256_;
  Xxh3 xxh3_;
  // Declared last: they stop before the buffers they read are freed.
  Stage hasher_;
  Stage writer_;
};

class Repository;

// A point being written; removed again unless committed.
class PointWriter {
 public:
  PointWriter(const Repository& repository, uint64_t point);
  ~PointWriter();
  PointWriter(const PointWriter&) = delete;
  PointWriter& operator=(const PointWriter&) = delete;
  std::string PathOf(const std::string& name) const { return temporary_ + "/" + name; }
  // Writes the manifest and makes the point visible, durably.
  void Commit(const Manifest& manifest);

 private:
  const Repository& repository_;
  uint64_t point_;
  std::string temporary_;
  bool committed_ = false;
};

class Repository {
 public:
  // Opens path; creates it when create is set and it is absent. A writer
  // holds the repository's lock and removes what killed runs left behind.
  Repository(std::string path, bool create, bool writer);
  ~Repository();
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  const std::string& Path() const { return path_; }
  std::string TrackerDir() const { return path_ + "/tracker"; }
  std::string PointDir(uint64_t point) const;
  // The complete points, in increasing order.
  std::vector<uint64_t> Points() const;
  // Reads and checks a point's manifest against its checksum.
  Manifest Load(uint64_t point) const;
  // The points a restore of point needs, oldest (the full one) first;
  // throws kPointMissing when one of them is gone.
  std::vector<Manifest> Chain(uint64_t point) const;
  // Throws kChecksumMismatch naming the first data file whose content does
  // not match either digest of its manifest.
  void VerifyData(const Manifest& manifest, const std::function<void(uint64_t)>& onBytes = {}) const;

 private:
  std::string path_;
  int lock_ = -1;
};

// Writes name durably (temporary file, flush, rename, flush of the folder).
void WriteFileDurably(const std::string& name, const std::string& data);
std::string ReadWholeFile(const std::string& name);
void SyncFolder(const std::string& folder);
std::string UtcNow();

}  // namespace Hvagent
