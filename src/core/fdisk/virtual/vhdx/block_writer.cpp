#include "core/fdisk/virtual/vhdx/block_writer.h"

namespace Vhdx {

void ExistingBlockWriter::Write(uint64_t sectorInBlock, const SectorRun& run) {
  file_.Write(blockOffset_ + sectorInBlock * run.sectorSize, run.count * run.sectorSize, run.buffer);
  OnWritten(sectorInBlock, run);
}

void BitmappedBlockWriter::OnWritten(uint64_t sectorInBlock, const SectorRun& run) {
  // Rewriting present sectors leaves the bitmap, and the disk's barrier, alone.
  if (bitmap_->FindInRange(sectorInBlock, run.count, false) == sectorInBlock + run.count) return;
  bitmap_->SetRange(sectorInBlock, run.count, true);
  BatEntry entry{entry_};
  if (entry.State() != kBlockFullyPresent && bitmap_->FindFirst(false) == bitmap_->Size()) {
    entry.SetState(kBlockFullyPresent);
    entry_ = entry.value;
    modified_ = true;
  }
}

void AllocatingBlockWriter::Write(uint64_t sectorInBlock, const SectorRun& run) {
  uint64_t end = file_.GetSize();
  newOffset_ = end == 0 ? 0 : ((end - 1) & ~(kMegabyte - 1)) + kMegabyte;
  file_.Write(newOffset_ + sectorInBlock * run.sectorSize, run.count * run.sectorSize, run.buffer);
  file_.Expand(newOffset_ + blockSize_);
  OnWritten(sectorInBlock, run);
}

void NonDifferencingDiskAllocatingBlockWriter::OnWritten(uint64_t, const SectorRun&) {
  BatEntry entry{Entry()};
  entry.SetOffsetMb(newOffset_ / kMegabyte);
  entry.SetState(kBlockFullyPresent);
  Entry() = entry.value;
  modified_ = true;
}

void DifferencingDiskAllocatingBlockWriter::OnWritten(uint64_t sectorInBlock, const SectorRun& run) {
  BatEntry entry{Entry()};
  if (entry.State() == kBlockNotPresent) {
    // Bits left over from an earlier placement must not claim unwritten sectors.
    bitsBeforeEntry_ = bitmap_->FindFirst(true) < bitmap_->Size();
    bitmap_->SetAll(false);
    bitmap_->SetRange(sectorInBlock, run.count, true);
  } else {
    bitmap_->SetAll(true);
  }
  entry.SetOffsetMb(newOffset_ >> 20);
  entry.SetState(bitmap_->FindFirst(false) < bitmap_->Size() ? kBlockPartiallyPresent : kBlockFullyPresent);
  Entry() = entry.value;
  modified_ = true;
}

}  // namespace Vhdx
