// Recorded writes, simulated power losses and stamped sectors, for tests of
// what the engine makes durable and in which order.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/fdisk/virtual/vhdx/core_file.h"

namespace VhdxTest {

// A file in memory that records every write, size change and flush in
// order, tagged with the step of the test under way; a flush can be made to
// fail.
class RecordingCoreFile final : public Vhdx::MemoryCoreFile {
 public:
  struct Op {
    enum Kind { kWrite, kSize, kFlush } kind;
    uint64_t offset = 0;  // kSize: the new size
    std::vector<uint8_t> data;
    int step = 0;
  };
  using MemoryCoreFile::MemoryCoreFile;

  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  void SetSize(uint64_t size) override;
  void Flush() override;
  int Flushes(int inStep) const;

  std::vector<Op> ops;
  int step = 0;
  bool failFlushes = false;
};

// Power losses in a recorded run: for each cut (a count of ops, ascending),
// the file keeps what the flushes before the cut made durable and, of the
// changes since, a random subset of the size changes and of the 512-byte
// pieces of writes. `check` sees `variants` such files per cut, with the
// ops that were durable ([0, durable)) and those made ([0, cut)); a fatal
// test failure ends the run.
void SimulatePowerLosses(const std::vector<uint8_t>& image, const std::vector<RecordingCoreFile::Op>& ops,
                         const std::vector<size_t>& cuts, std::mt19937& random, int variants,
                         const std::function<void(Vhdx::MemoryCoreFile& crashed, size_t durable, size_t cut)>& check);

// Stamped sectors: every 8 bytes of a sector hold a 32-bit stamp and the
// sector's number, so that a read shows which write a sector comes from and
// that it landed in its place. Zeros read as stamp 0.
inline constexpr uint32_t kParentStamp = 0x70000000;
void FillStamped(uint8_t* data, uint64_t first, uint64_t count, uint32_t stamp);
uint32_t StampOf(const uint8_t* sector);

// A run of sectors a test writes.
struct Request {
  uint64_t first;
  uint64_t count;
};

// Writes dir/parent.vhdx, a disk of `sectors` sectors that all hold
// kParentStamp, and makes `child` (an image the engine made) its
// differencing child.
void MakeStampedParent(const std::string& dir, uint64_t sectors, std::vector<uint8_t>& child);

}  // namespace VhdxTest
