#include "core/fdisk/virtual/vhdx/bat.h"

#include "core/common/error.h"

namespace Vhdx {

void CheckDiskGeometry(uint32_t logicalSectorSize, uint32_t blockSize) {
  bool sectorOk = logicalSectorSize == 512 || logicalSectorSize == 4096;
  bool blockOk = blockSize >= kMegabyte && blockSize <= 256 * kMegabyte && (blockSize & (blockSize - 1)) == 0;
  if (!sectorOk || !blockOk) {
    Common::Throw(
        Common::MakeError(Code::kInvalidDiskGeometry, Msg::kInvalidDiskGeometry, HV_SITE("CheckDiskGeometry")));
  }
}

uint64_t PayloadBlockCount(uint64_t virtualSize, uint32_t blockSize) {
  return virtualSize / blockSize + (virtualSize % blockSize ? 1 : 0);
}

uint64_t BatEntryCount(uint64_t virtualSize, uint32_t logicalSectorSize, uint32_t blockSize) {
  uint64_t blocks = PayloadBlockCount(virtualSize, blockSize);
  if (blocks == 0) return 0;
  return blocks + (blocks - 1) / ChunkTraits(logicalSectorSize, blockSize).ChunkRatio();
}

}  // namespace Vhdx
