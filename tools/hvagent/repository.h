// The backup repository: one folder per restore point holding a JSON
// manifest, its SHA-256 and one data file per disk. A point is written under
// a temporary name, flushed and then renamed, so a reader sees it whole or
// not at all.
#pragma once

#include <condition_variable>
#include <cstdint>
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
// is hashed on a thread of its own while this one writes it out and fills
// the other, and each write starts the file's writeback, so that hashing,
// writing and the final flush overlap the reads that feed it.
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
  void Drain();
  void WaitForHash();
  std::string path_;
  int fd_ = -1;
  IoBuffer buffers_[2];
  int current_ = 0;
  size_t used_ = 0;
  uint64_t bytes_ = 0;
  uint64_t written_ = 0;
  Sha256 sha256_;
  Xxh3 xxh3_;
  // Hashes the buffer last written; declared last so that it stops before
  // the buffers it reads are freed.
  std::mutex mutex_;
  std::condition_variable changed_;
  const IoBuffer* toHash_ = nullptr;
  size_t toHashBytes_ = 0;
  bool stop_ = false;
  std::thread hasher_;
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
