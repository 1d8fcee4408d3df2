// A bitmap that announces every modification, through any of its views, to
// its observers: the write path learns this way that a loaded sector bitmap
// has to be written back.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhd/bitmap.h"
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
    Notify();
    BitmapDecorator::Set(index, value);
  }
  void SetRange(uint64_t first, uint64_t count, bool value) override {
    Notify();
    BitmapDecorator::SetRange(first, count, value);
  }
  void SetAll(bool value) override {
    Notify();
    BitmapDecorator::SetAll(value);
  }
  void Notify() { NotifyObservers(); }

 private:
  // A view must not outlive the bitmap whose observers it reaches.
  std::shared_ptr<ChangeTrackingBitmap> parentHold_;
};

}  // namespace Vhdx
