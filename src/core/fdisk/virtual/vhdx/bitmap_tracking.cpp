#include "core/fdisk/virtual/vhdx/bitmap_tracking.h"

#include <algorithm>

namespace Vhdx {

void ObservingMediator::OnChange() { target_.Notify(); }

std::shared_ptr<Vhd::Bitmap> ChangeTrackingBitmap::Sub(uint64_t first, uint64_t count) {
  auto view = std::make_shared<ChangeTrackingBitmap>(Inner()->Sub(first, count));
  view->parentHold_ = shared_from_this();
  view->offsetInParent_ = first;
  view->AddObserver(std::make_shared<ObservingMediator>(*this));
  return view;
}

void ChangeTrackingBitmap::MarkDirty(uint64_t first, uint64_t count) {
  if (parentHold_) {
    parentHold_->MarkDirty(offsetInParent_ + first, count);
    return;
  }
  dirtyStart_ = std::min(dirtyStart_, first);
  dirtyEnd_ = std::max(dirtyEnd_, first + count);
}

}  // namespace Vhdx
