// The sector bitmap of one chunk of a differencing file while a write runs:
// loaded from its block or created, and written back when the chunk is done.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/bitmap_array.h"
#include "core/fdisk/virtual/vhdx/bitmap_tracking.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

class BitmapStore {
 public:
  virtual ~BitmapStore() = default;
  virtual BitmapPtr Bitmap() = 0;
  virtual void Commit() = 0;
  // Whether Commit changed the chunk's bitmap entry.
  virtual bool Changed() const = 0;
};

// Bitmap entry state 6: the block exists; it is loaded on first use and
// written back (1 MB) only when something changed it.
class ExistingBitmapStore final : public BitmapStore {
 public:
  ExistingBitmapStore(BitmapSource& loader, File& structureFile, BatEntry entry)
      : loader_(loader), file_(structureFile), entry_(entry) {}
  BitmapPtr Bitmap() override;
  void Commit() override;
  bool Changed() const override { return false; }

 private:
  BitmapSource& loader_;
  File& file_;
  BatEntry entry_;
  BitmapPtr owner_;  // the loaded bitmap
  std::shared_ptr<ChangeTrackingBitmap> tracked_;
  std::shared_ptr<bool> dirty_ = std::make_shared<bool>(false);
};

// Bitmap entry state 0: a zeroed bitmap, placed at the end of the file on a
// 1 MB boundary when committed.
class NewBitmapStore final : public BitmapStore {
 public:
  NewBitmapStore(File& structureFile, uint64_t& entry) : file_(structureFile), entry_(entry) {}
  BitmapPtr Bitmap() override;
  void Commit() override;
  bool Changed() const override { return changed_; }

 private:
  File& file_;
  uint64_t& entry_;
  std::shared_ptr<Vhd::DataOwningBitmap> bitmap_;
  bool changed_ = false;
};

}  // namespace Vhdx
