// The sector bitmap of one chunk of a differencing file while a write runs:
// loaded from its block or created, and written back when the chunk is done.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/bitmap_array.h"
#include "core/fdisk/virtual/vhdx/bitmap_tracking.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

// A write request stores a chunk's bitmap in two steps around the request's
// barrier: Place writes what nothing points at yet (a new bitmap block),
// Commit what is already referenced (bits of an existing block), which must
// not reach the disk before the data those bits claim.
class BitmapStore {
 public:
  virtual ~BitmapStore() = default;
  virtual BitmapPtr Bitmap() = 0;
  virtual void Place() = 0;
  virtual void Commit() = 0;
  // Whether Commit has something to write.
  virtual bool Pending() const = 0;
  // Whether Place changed the chunk's bitmap entry.
  virtual bool Changed() const = 0;
};

// Bitmap entry state 6: the block exists; it is loaded on first use and only
// the changed part of it is written back.
class ExistingBitmapStore final : public BitmapStore {
 public:
  ExistingBitmapStore(BitmapSource& loader, File& structureFile, BatEntry entry)
      : loader_(loader), file_(structureFile), entry_(entry) {}
  BitmapPtr Bitmap() override;
  void Place() override {}
  void Commit() override;
  bool Pending() const override { return tracked_ && tracked_->DirtyBits().length; }
  bool Changed() const override { return false; }

 private:
  BitmapSource& loader_;
  File& file_;
  BatEntry entry_;
  BitmapPtr owner_;  // the loaded bitmap
  std::shared_ptr<ChangeTrackingBitmap> tracked_;
};

// Bitmap entry state 0: a zeroed bitmap, placed at the end of the file on a
// 1 MB boundary.
class NewBitmapStore final : public BitmapStore {
 public:
  NewBitmapStore(File& structureFile, uint64_t& entry) : file_(structureFile), entry_(entry) {}
  BitmapPtr Bitmap() override;
  void Place() override;
  void Commit() override {}
  bool Pending() const override { return false; }
  bool Changed() const override { return changed_; }

 private:
  File& file_;
  uint64_t& entry_;
  std::shared_ptr<Vhd::DataOwningBitmap> bitmap_;
  bool changed_ = false;
};

}  // namespace Vhdx
