#include "core/fdisk/virtual/vhdx/bitmap_store.h"

#include <algorithm>

namespace Vhdx {

namespace {

// Bitmap bytes are written in whole 512-byte pieces: the smallest unit a
// disk writes at once, so that a torn write leaves each piece old or new.
constexpr uint64_t kBitmapPiece = 512;

}  // namespace

BitmapPtr ExistingBitmapStore::Bitmap() {
  if (!tracked_) {
    owner_ = loader_.Load(entry_);
    tracked_ = std::make_shared<ChangeTrackingBitmap>(owner_);
  }
  return tracked_;
}

void ExistingBitmapStore::Commit() {
  if (!Pending()) return;
  auto* bytes = dynamic_cast<Vhd::DataOwningBitmap*>(owner_.get());
  if (!bytes) return;
  // Only the changed bytes: a file tracker then sees the bits that changed,
  // not the whole chunk.
  const Vhd::DiskArea bits = tracked_->DirtyBits();
  const uint64_t first = bits.start / 8 / kBitmapPiece * kBitmapPiece;
  const uint64_t endByte = (bits.End() + 7) / 8;
  const uint64_t end =
      std::min<uint64_t>(bytes->ByteSize(), (endByte + kBitmapPiece - 1) / kBitmapPiece * kBitmapPiece);
  file_.Write(entry_.FileOffset() + first, end - first, bytes->Data() + first);
  tracked_->ClearDirty();
}

BitmapPtr NewBitmapStore::Bitmap() {
  if (!bitmap_) bitmap_ = Vhd::CreateBitmap(kSectorsPerChunk, false);
  return bitmap_;
}

void NewBitmapStore::Place() {
  if (!bitmap_) return;
  uint64_t end = file_.GetSize();
  uint64_t offset = (end + kMegabyte - 1) & ~(kMegabyte - 1);
  file_.Write(offset, bitmap_->ByteSize(), bitmap_->Data());
  BatEntry entry{entry_};
  entry.SetOffsetMb(offset >> 20);
  entry.SetState(kBlockFullyPresent);
  entry_ = entry.value;
  changed_ = true;
  bitmap_.reset();
}

}  // namespace Vhdx
