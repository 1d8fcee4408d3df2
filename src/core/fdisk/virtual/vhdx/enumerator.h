// Per-block enumerators of sector intervals: the whole block, or the runs of
// sectors its part of the chunk's sector bitmap marks present.
#pragma once

#include "core/fdisk/virtual/vhd/enumerator.h"
#include "core/fdisk/virtual/vhdx/bat_collector.h"
#include "core/fdisk/virtual/vhdx/bitmap_array.h"
#include "core/fdisk/virtual/vhdx/collector.h"

namespace Vhdx {

class BlockDiskAreaEnumeratorArray final : public Vhd::Array<DiskAreaEnumeratorPtr> {
 public:
  explicit BlockDiskAreaEnumeratorArray(uint32_t sectorsPerBlock) : traits_(sectorsPerBlock) {}
  DiskAreaEnumeratorPtr Get(uint32_t block) override {
    return std::make_shared<SingleDiskAreaEnumerator>(traits_.BlockInterval(block));
  }

 private:
  BlockSizeAwareDataBlockTraits traits_;
};

class BlockBitmapDiskAreaEnumeratorArray final : public Vhd::Array<DiskAreaEnumeratorPtr> {
 public:
  BlockBitmapDiskAreaEnumeratorArray(Vhd::Array<BitmapPtr>& blockBitmaps, uint32_t sectorsPerBlock)
      : bitmaps_(blockBitmaps), traits_(sectorsPerBlock) {}
  DiskAreaEnumeratorPtr Get(uint32_t block) override {
    return factory_.Create(traits_.FirstSector(block), bitmaps_.Get(block));
  }

 private:
  Vhd::Array<BitmapPtr>& bitmaps_;
  BlockSizeAwareDataBlockTraits traits_;
  Vhd::PresentBitmapEnumeratorFactory factory_;
};

}  // namespace Vhdx
