// Intrusive owning pointer for runtime objects used inside the plug-in.
#pragma once

#include <utility>

#include "hvplug/processor.h"

namespace Processor {

template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  // Adopts a reference the caller holds.
  static RefPtr Adopt(T* object) {
    RefPtr p;
    p.object_ = object;
    return p;
  }
  static RefPtr Share(T* object) {
    if (object) static_cast<RefObject*>(object)->AddRefDirect();
    return Adopt(object);
  }
  RefPtr(const RefPtr& other) : object_(other.object_) {
    if (object_) static_cast<RefObject*>(object_)->AddRefDirect();
  }
  RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  RefPtr& operator=(RefPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~RefPtr() { Reset(); }
  void Reset() {
    if (T* object = std::exchange(object_, nullptr)) static_cast<RefObject*>(object)->ReleaseDirect();
  }
  T* Get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace Processor
