#include "core/fdisk/virtual/vhdx/bitmap_store.h"

namespace Vhdx {

namespace {

class DirtyFlag final : public Observer {
 public:
  explicit DirtyFlag(std::shared_ptr<bool> flag) : flag_(std::move(flag)) {}
  void OnChange() override { *flag_ = true; }

 private:
  std::shared_ptr<bool> flag_;
};

}  // namespace

BitmapPtr ExistingBitmapStore::Bitmap() {
  if (!tracked_) {
    owner_ = loader_.Load(entry_);
    tracked_ = std::make_shared<ChangeTrackingBitmap>(owner_);
    tracked_->AddObserver(std::make_shared<DirtyFlag>(dirty_));
  }
  return tracked_;
}

void ExistingBitmapStore::Commit() {
  if (!tracked_ || !*dirty_) return;
  auto* bytes = dynamic_cast<Vhd::DataOwningBitmap*>(owner_.get());
  if (!bytes) return;
  file_.Write(entry_.FileOffset(), bytes->ByteSize(), bytes->Data());
  *dirty_ = false;
}

BitmapPtr NewBitmapStore::Bitmap() {
  if (!bitmap_) bitmap_ = Vhd::CreateBitmap(kSectorsPerChunk, false);
  return bitmap_;
}

void NewBitmapStore::Commit() {
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
