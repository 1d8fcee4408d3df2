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
      // Revives an instance whose count just dropped to 0 (see OnFinalRelease).
      static_cast<RefObject*>(current)->AddRefDirect();
      return RefPtr<T>::Adopt(current);
    }
    Singleton* created = CreateObject<Singleton>();
    SingletonRegistry::Register(created, static_cast<RefObject*>(created));
    instance_.store(created);
    return RefPtr<T>::Adopt(created);
  }

  // For tests: whether an instance is live.
  static bool HasInstance() { return instance_.load() != nullptr; }

  void OnFinalRelease() override {
    {
      std::lock_guard<RecursiveLock> lock(lock_);
      Singleton* self = this;
      if (static_cast<RefObject*>(this)->RefCount() != 0 || !instance_.compare_exchange_strong(self, nullptr))
        return;
    }
    this->DetachLifetime();
    delete this;
  }

 private:
  Singleton() = default;
  friend Singleton* CreateObject<Singleton>();
  static inline RecursiveLock lock_;
  static inline std::atomic<Singleton*> instance_{nullptr};
};

}  // namespace Processor
