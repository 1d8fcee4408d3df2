#include "core/fdisk/virtual/vhdx/bitmap_tracking.h"

namespace Vhdx {

void ObservingMediator::OnChange() { target_.Notify(); }

std::shared_ptr<Vhd::Bitmap> ChangeTrackingBitmap::Sub(uint64_t first, uint64_t count) {
  auto view = std::make_shared<ChangeTrackingBitmap>(Inner()->Sub(first, count));
  view->parentHold_ = shared_from_this();
  view->AddObserver(std::make_shared<ObservingMediator>(*this));
  return view;
}

}  // namespace Vhdx
