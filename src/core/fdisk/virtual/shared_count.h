// Shared and weak references with atomic counts, for disks that several
// holders share while a registry keeps only a weak reference to them.
// A weak reference is upgraded only while the use count is above 0, so a
// disk whose last holder is leaving can never be revived.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "core/common/error.h"

namespace Fdisk {

// Thrown when a shared reference is made from an expired weak one.
class BadWeakPtr : public Common::Error {
 public:
  BadWeakPtr();
};

namespace Detail {

class SpCountedBase {
 public:
  SpCountedBase() = default;
  SpCountedBase(const SpCountedBase&) = delete;
  SpCountedBase& operator=(const SpCountedBase&) = delete;

  void AddRefCopy() noexcept { useCount_.fetch_add(1, std::memory_order_relaxed); }
  // Raises the use count unless it is already 0.
  bool AddRefLock() noexcept {
    long count = useCount_.load(std::memory_order_relaxed);
    while (count > 0) {
      if (useCount_.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel, std::memory_order_relaxed))
        return true;
    }
    return false;
  }
  void Release() noexcept {
    if (useCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      Dispose();
      WeakRelease();
    }
  }
  void WeakAddRef() noexcept { weakCount_.fetch_add(1, std::memory_order_relaxed); }
  void WeakRelease() noexcept {
    if (weakCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy();
  }
  long UseCount() const noexcept { return useCount_.load(std::memory_order_acquire); }

 protected:
  virtual ~SpCountedBase() = default;
  // Ends the object when the last shared reference goes.
  virtual void Dispose() noexcept = 0;
  // Ends the counts when the last weak reference goes too.
  virtual void Destroy() noexcept { delete this; }

 private:
  std::atomic<long> useCount_{1};
  // All shared references together hold one weak reference.
  std::atomic<long> weakCount_{1};
};

template <class T>
class SpCountedImplP final : public SpCountedBase {
 public:
  explicit SpCountedImplP(T* object) noexcept : object_(object) {}

 private:
  void Dispose() noexcept override { delete object_; }
  T* object_;
};

class WeakCount;

class SharedCount {
 public:
  SharedCount() noexcept = default;
  template <class T>
  explicit SharedCount(T* object) {
    try {
      counts_ = new SpCountedImplP<T>(object);
    } catch (...) {
      delete object;
      throw;
    }
  }
  // Throws BadWeakPtr when the weak count's object is gone.
  explicit SharedCount(const WeakCount& weak);
  // Stays empty when the weak count's object is gone.
  SharedCount(const WeakCount& weak, std::nothrow_t) noexcept;
  SharedCount(const SharedCount& other) noexcept : counts_(other.counts_) {
    if (counts_) counts_->AddRefCopy();
  }
  SharedCount(SharedCount&& other) noexcept : counts_(std::exchange(other.counts_, nullptr)) {}
  SharedCount& operator=(SharedCount other) noexcept {
    std::swap(counts_, other.counts_);
    return *this;
  }
  ~SharedCount() {
    if (counts_) counts_->Release();
  }
  long UseCount() const noexcept { return counts_ ? counts_->UseCount() : 0; }
  bool Empty() const noexcept { return counts_ == nullptr; }

 private:
  friend class WeakCount;
  SpCountedBase* counts_ = nullptr;
};

class WeakCount {
 public:
  WeakCount() noexcept = default;
  explicit WeakCount(const SharedCount& shared) noexcept : counts_(shared.counts_) {
    if (counts_) counts_->WeakAddRef();
  }
  WeakCount(const WeakCount& other) noexcept : counts_(other.counts_) {
    if (counts_) counts_->WeakAddRef();
  }
  WeakCount(WeakCount&& other) noexcept : counts_(std::exchange(other.counts_, nullptr)) {}
  WeakCount& operator=(WeakCount other) noexcept {
    std::swap(counts_, other.counts_);
    return *this;
  }
  ~WeakCount() {
    if (counts_) counts_->WeakRelease();
  }
  long UseCount() const noexcept { return counts_ ? counts_->UseCount() : 0; }

 private:
  friend class SharedCount;
  SpCountedBase* counts_ = nullptr;
};

inline SharedCount::SharedCount(const WeakCount& weak, std::nothrow_t) noexcept : counts_(weak.counts_) {
  if (counts_ && !counts_->AddRefLock()) counts_ = nullptr;
}

inline SharedCount::SharedCount(const WeakCount& weak) : SharedCount(weak, std::nothrow) {
  if (!counts_) throw BadWeakPtr();
}

}  // namespace Detail

template <class T>
class WeakPtr;

template <class T>
class SharedPtr {
 public:
  SharedPtr() noexcept = default;
  // Takes ownership; the object is deleted with the last shared reference.
  explicit SharedPtr(T* object) : object_(object), count_(object) {}
  // Throws BadWeakPtr when the weak reference has expired.
  explicit SharedPtr(const WeakPtr<T>& weak) : object_(weak.object_), count_(weak.count_) {}
  SharedPtr(const WeakPtr<T>& weak, std::nothrow_t) noexcept : count_(weak.count_, std::nothrow) {
    if (!count_.Empty()) object_ = weak.object_;
  }

  SharedPtr(const SharedPtr& other) noexcept = default;
  SharedPtr(SharedPtr&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), count_(std::move(other.count_)) {}
  SharedPtr& operator=(SharedPtr other) noexcept {
    swap(other);
    return *this;
  }

  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  long UseCount() const noexcept { return count_.UseCount(); }
  void reset() noexcept { SharedPtr().swap(*this); }
  void swap(SharedPtr& other) noexcept {
    std::swap(object_, other.object_);
    std::swap(count_, other.count_);
  }

 private:
  friend class WeakPtr<T>;
  T* object_ = nullptr;
  Detail::SharedCount count_;
};

template <class T>
class WeakPtr {
 public:
  WeakPtr() noexcept = default;
  WeakPtr(const SharedPtr<T>& shared) noexcept : object_(shared.object_), count_(shared.count_) {}

  bool Expired() const noexcept { return count_.UseCount() == 0; }
  // An empty pointer when the object is gone.
  SharedPtr<T> Lock() const noexcept { return SharedPtr<T>(*this, std::nothrow); }

 private:
  friend class SharedPtr<T>;
  T* object_ = nullptr;
  Detail::WeakCount count_;
};

}  // namespace Fdisk
