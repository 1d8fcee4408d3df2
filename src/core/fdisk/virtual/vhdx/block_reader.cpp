#include "core/fdisk/virtual/vhdx/block_reader.h"

#include <cstring>

#include "core/common/error.h"

namespace Vhdx {

void ThrowUnknownBlockState(const char* function) {
  Common::Throw(Common::MakeError(Code::kUnknownBlockState, Msg::kUnknownBlockState, HV_SITE(function)));
}

void ThrowPartiallyPresentInNonDifferencing(const char* function) {
  Common::Throw(Common::MakeError(Code::kPartiallyPresentInNonDifferencing, Msg::kPartiallyPresentInNonDifferencing,
                                  HV_SITE(function)));
}

void ContinuousBlockReader::Read(uint64_t sectorInBlock, SectorRequest request) {
  uint64_t j = request.NextNeeded(0);
  while (j < request.count) {
    uint64_t e = request.NextSupplied(j);
    ReadRun(sectorInBlock + j, request.Sub(j, e - j));
    j = request.NextNeeded(e);
  }
}

void ZeroFillingBlockReader::ReadRun(uint64_t, SectorRequest run) {
  std::memset(run.buffer, 0, run.count * run.sectorSize);
  run.MarkSupplied(0, run.count);
}

void WholeBlockReader::ReadRun(uint64_t sectorInBlock, SectorRequest run) {
  file_.Read(blockOffset_ + sectorInBlock * run.sectorSize, run.count * run.sectorSize, run.buffer);
  run.MarkSupplied(0, run.count);
}

void BitmappedBlockReader::ReadRun(uint64_t sectorInBlock, SectorRequest run) {
  const uint64_t end = sectorInBlock + run.count;
  uint64_t p = bitmap_->FindInRange(sectorInBlock, run.count, true);
  while (p < end) {
    uint64_t q = bitmap_->FindInRange(p, end - p, false);
    uint64_t offset = p - sectorInBlock;
    file_.Read(blockOffset_ + p * run.sectorSize, (q - p) * run.sectorSize, run.buffer + offset * run.sectorSize);
    run.MarkSupplied(offset, q - p);
    if (q >= end) break;
    p = bitmap_->FindInRange(q, end - q, true);
  }
}

BitmapPtr BitmapLoader::Load(BatEntry bitmapEntry) {
  if (bitmapEntry.State() == kBlockNotPresent) {
    Common::Throw(
        Common::MakeError(Code::kSectorBitmapNotPresent, Msg::kSectorBitmapNotPresent, HV_SITE("LoadBitmap")));
  }
  if (bitmapEntry.State() != kBlockFullyPresent) ThrowUnknownBlockState("LoadBitmap");
  auto bitmap = Vhd::CreateBitmap(kSectorsPerChunk, true);
  file_.Read(bitmapEntry.FileOffset(), kSectorBitmapBytes, bitmap->Data());
  return bitmap;
}

}  // namespace Vhdx
