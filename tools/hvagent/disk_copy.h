// Moving sectors between a disk and the repository: a backup reads the
// chosen sectors, stores runs of data and records runs of zeros; a restore
// writes a point's data back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hvplug/virtual_machine_disk.h"
#include "progress.h"
#include "repository.h"
#include "runs.h"

namespace Hvagent {

// The sectors of disk changed since changeId ("*": every allocated sector).
std::vector<Extent> ChangedSectors(VirtualMachineDisk& disk, const std::string& changeId);

uint64_t SectorsIn(const std::vector<Extent>& extents);

// Reads ranges of disk; stores the runs of data through writer and fills
// record's extents and zero runs.
void BackupSectors(VirtualMachineDisk& disk, const std::vector<Extent>& ranges, DataWriter& writer, DiskRecord& record,
                   Progress& progress, Totals& totals);

// Starts the kernel writing a file's dirty pages to the disk while a restore
// still fills it, so that the flush at the end finds little left to write
// instead of the whole disk. It holds a descriptor of its own: since closing
// any descriptor of a file drops the process's locks on it, it must be
// destroyed only once the plug-in has closed the file.
class Writeback {
 public:
  explicit Writeback(const std::string& path);  // a file that cannot be opened is left alone
  ~Writeback();
  Writeback(const Writeback&) = delete;
  Writeback& operator=(const Writeback&) = delete;
  // Queues every dirty page of the file for writing and returns; a failure
  // is left to the final flush, which reports it.
  void Start() const;

 private:
  int fd_ = -1;
};

// Writes record's stored extents (read from dataPath, whose digest is
// checked on the way: XXH3 where the record has it, else SHA-256) onto disk,
// and its zero runs when writeZeros is set (a new disk reads as zeros
// already), in write requests of at most pieceBytes (a multiple of the
// sector size). writeback, when given, is started as the pieces are written.
inline constexpr uint64_t kRestorePieceBytes = 8 << 20;
void ApplyRecord(VirtualMachineDisk& disk, const DiskRecord& record, const std::string& dataPath, bool writeZeros,
                 Progress& progress, Totals& totals, uint64_t pieceBytes = kRestorePieceBytes,
                 const Writeback* writeback = nullptr);

}  // namespace Hvagent
