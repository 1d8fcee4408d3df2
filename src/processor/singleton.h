// Process-wide singletons with a shut-down registry: at unload they go in the
// reverse order of their creation.
#pragma once

#include <atomic>
#include <mutex>

#include "processor/recursive_lock.h"
#include "processor/ref_ptr.h"
#include "processor/runtime.h"

namespace Processor {

template <bool Registered>
class SingletonBase;

// Registration record of a singleton in the shut-down registry.
template <>
class SingletonBase<true> {
 public:
  SingletonBase<true>* next_ = nullptr;
  SingletonBase<true>* prev_ = nullptr;
  RefObject* object_ = nullptr;
  bool linked_ = false;
};

class SingletonRegistry {
 public:
  // Inserts at the head and takes one reference; nothing after shut-down.
  static void Register(SingletonBase<true>* record, RefObject* object);
  static void Unregister(SingletonBase<true>* record);
  static void Shutdown();
  static bool IsShutDown();
};

template <class T, bool Registered>
class SingletonShutdown;

template <class T>
class SingletonShutdown<T, true> : public T, public SingletonBase<true> {
 public:
  using T::T;
  ~SingletonShutdown() override { SingletonRegistry::Unregister(this); }
};

template <class T, bool Registered>
class Singleton;

template <class T>
class Singleton<T, true> final : public SingletonShutdown<T, true> {
 public:
  static RefPtr<T> Instance() {
    std::lock_guard<RecursiveLock> lock(lock_);
    if (Singleton* current = instance_.load()) {
      // Revives an instance whose count just dropped to 0. The thread that
      // dropped it will still run OnFinalRelease; the token tells it (or the
      // next final release) that another one is pending.
      if (static_cast<RefObject*>(current)->AddRefDirect() == 0) ++current->pendingFinalReleases_;
      return RefPtr<T>::Adopt(current);
    }
    Singleton* created = CreateObject<Singleton>();
    SingletonRegistry::Register(created, static_cast<RefObject*>(created));
    instance_.store(created);
    return RefPtr<T>::Adopt(created);
  }

  // For tests: whether an instance is live.
  static bool HasInstance() { return instance_.load() != nullptr; }

  // Every drop to 0 runs this once. Only the last of the pending final
  // releases may delete, so that none of them touches a deleted object.
  void OnFinalRelease() override {
    {
      std::lock_guard<RecursiveLock> lock(lock_);
      // Revived, or another final release is still to come: that one decides.
      if (static_cast<RefObject*>(this)->RefCount() != 0 || pendingFinalReleases_ > 0) {
        if (pendingFinalReleases_ > 0) --pendingFinalReleases_;
        return;
      }
      Singleton* self = this;
      if (!instance_.compare_exchange_strong(self, nullptr) && self != nullptr) return;
    }
    this->DetachLifetime();
    delete this;
  }

 private:
  Singleton() = default;
  friend Singleton* CreateObject<Singleton>();
  int64_t pendingFinalReleases_ = 0;  // guarded by lock_
  static inline RecursiveLock lock_;
  static inline std::atomic<Singleton*> instance_{nullptr};
};

}  // namespace Processor
