#include "core/fdisk/virtual/vhdx/chunk_writer.h"

#include "core/fdisk/virtual/vhdx/block_reader.h"

namespace Vhdx {

std::unique_ptr<BlockWriter> ChunkWriter::CreateBlockWriter(uint32_t blockInChunk) {
  switch (BatEntry{entries_[blockInChunk]}.State()) {
    case kBlockNotPresent:
    case kBlockUndefined:
    case kBlockZero:
    case kBlockUnmapped:
      return CreateAllocatingWriter(blockInChunk);
    case kBlockFullyPresent:
      return CreatePresentWriter(blockInChunk);
    case kBlockPartiallyPresent:
      return CreatePartialWriter(blockInChunk);
    default:
      ThrowUnknownBlockState("CreateBlockWriter");
  }
}

std::unique_ptr<BlockWriter> NonDifferencingDiskChunkWriter::CreatePartialWriter(uint32_t) {
  ThrowPartiallyPresentInNonDifferencing("CreateBlockWriter");
}

std::unique_ptr<BlockWriter> NonDifferencingDiskChunkWriter::CreateAllocatingWriter(uint32_t blockInChunk) {
  return std::make_unique<NonDifferencingDiskAllocatingBlockWriter>(dataFile_, blockSize_, entries_[blockInChunk]);
}

void DifferencingDiskChunkWriter::Place() {
  store_->Place();
  if (store_->Changed()) modified_ = true;
}

std::unique_ptr<BlockWriter> DifferencingDiskChunkWriter::CreatePartialWriter(uint32_t blockInChunk) {
  return std::make_unique<BitmappedBlockWriter>(dataFile_, BatEntry{entries_[blockInChunk]}.FileOffset(),
                                                entries_[blockInChunk], BlockBitmap(blockInChunk));
}

std::unique_ptr<BlockWriter> DifferencingDiskChunkWriter::CreateAllocatingWriter(uint32_t blockInChunk) {
  return std::make_unique<DifferencingDiskAllocatingBlockWriter>(dataFile_, blockSize_, entries_[blockInChunk],
                                                                 BlockBitmap(blockInChunk));
}

}  // namespace Vhdx
