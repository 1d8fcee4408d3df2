// A bitmap that announces every modification, through any of its views, to
// its observers and remembers the range of bits changed: the write path
// learns this way that a loaded sector bitmap has to be written back, and
// which part of it.
#pragma once

#include <cstdint>
#include <memory>

#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/observable.h"

namespace Vhdx {

class BitmapDecorator : public Vhd::Bitmap {
 public:
  explicit BitmapDecorator(std::shared_ptr<Vhd::Bitmap> inner) : inner_(std::move(inner)) {}
  uint64_t Size() const override { return inner_->Size(); }
  bool Get(uint64_t index) const override { return inner_->Get(index); }
  std::shared_ptr<Vhd::Bitmap> Sub(uint64_t first, uint64_t count) override { return inner_->Sub(first, count); }
  uint64_t FindFirst(bool value) const override { return inner_->FindFirst(value); }
  uint64_t FindNext(uint64_t from, bool value) const override { return inner_->FindNext(from, value); }
  uint64_t FindInRange(uint64_t from, uint64_t count, bool value) const override {
    return inner_->FindInRange(from, count, value);
  }
  void Set(uint64_t index, bool value) override { inner_->Set(index, value); }
  void SetRange(uint64_t first, uint64_t count, bool value) override { inner_->SetRange(first, count, value); }
  void SetAll(bool value) override { inner_->SetAll(value); }

 protected:
  const std::shared_ptr<Vhd::Bitmap>& Inner() const { return inner_; }

 private:
  std::shared_ptr<Vhd::Bitmap> inner_;
};

class ChangeTrackingBitmap;

// Passes the notifications of a view on to the observers of the whole bitmap.
class ObservingMediator final : public Observer {
 public:
  explicit ObservingMediator(ChangeTrackingBitmap& target) : target_(target) {}
  void OnChange() override;

 private:
  ChangeTrackingBitmap& target_;
};

class ChangeTrackingBitmap final : public BitmapDecorator,
                                   public Observable,
                                   public std::enable_shared_from_this<ChangeTrackingBitmap> {
 public:
  using BitmapDecorator::BitmapDecorator;
  std::shared_ptr<Vhd::Bitmap> Sub(uint64_t first, uint64_t count) override;
  void Set(uint64_t index, bool value) override {
    Changing(index, 1);
    BitmapDecorator::Set(index, value);
  }
  void SetRange(uint64_t first, uint64_t count, bool value) override {
    Changing(first, count);
    BitmapDecorator::SetRange(first, count, value);
  }
  void SetAll(bool value) override {
    Changing(0, Size());
    BitmapDecorator::SetAll(value);
  }
  void Notify() { NotifyObservers(); }

  // The smallest range [start, start + length) of this bitmap's bits that
  // holds every bit changed through it or its views; length 0 when none.
  Vhd::DiskArea DirtyBits() const {
    return dirtyEnd_ > dirtyStart_ ? Vhd::DiskArea{dirtyStart_, dirtyEnd_ - dirtyStart_} : Vhd::DiskArea{0, 0};
  }
  void ClearDirty() { dirtyStart_ = UINT64_MAX, dirtyEnd_ = 0; }

 private:
  void Changing(uint64_t first, uint64_t count) {
    if (count == 0) return;
    Notify();
    MarkDirty(first, count);
  }
  void MarkDirty(uint64_t first, uint64_t count);

  // A view must not outlive the bitmap whose observers it reaches.
  std::shared_ptr<ChangeTrackingBitmap> parentHold_;
  uint64_t offsetInParent_ = 0;
  uint64_t dirtyStart_ = UINT64_MAX;
  uint64_t dirtyEnd_ = 0;
};

}  // namespace Vhdx
