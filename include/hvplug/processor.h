// Reference-counted objects, interfaces, metaclasses and owning references.
// Both sides of the plug-in boundary compile against this header; the slot
// orders of the virtual tables below are part of that contract.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace Processor {

class MetaClass;

// Owning pair handed out by casts and interface queries: the object part for
// the requested interface and the metaclass that counts it. One reference is
// already added for the receiver.
struct InterfacePair {
  void* object = nullptr;
  MetaClass* metaClass = nullptr;
};

struct LifetimeCell;

class RefObject {
 public:
  RefObject() = default;
  RefObject(const RefObject&) = delete;
  RefObject& operator=(const RefObject&) = delete;

  // slots 0, 1
  virtual ~RefObject();
  // slot 2: runs when the count drops from 1 to 0.
  virtual void OnFinalRelease();

  // Returns the count before the increment.
  int64_t AddRefDirect() noexcept { return refCount_.fetch_add(1, std::memory_order_seq_cst); }
  void ReleaseDirect() noexcept {
    if (refCount_.fetch_sub(1, std::memory_order_seq_cst) == 1) OnFinalRelease();
  }
  bool TryAddRefDirect() noexcept {
    int64_t count = refCount_.load(std::memory_order_seq_cst);
    while (count >= 1) {
      if (refCount_.compare_exchange_weak(count, count + 1, std::memory_order_seq_cst)) return true;
    }
    return false;
  }
  int64_t RefCount() const noexcept { return refCount_.load(std::memory_order_seq_cst); }

 protected:
  // Detaches the lifetime cell, if any; used by final-release overrides.
  void DetachLifetime() noexcept;

 private:
  friend struct LifetimeCell;
  friend LifetimeCell* GetOrCreateLifetimeCell(RefObject*);
  std::atomic<int64_t> refCount_{1};
  LifetimeCell* _GCData = nullptr;
};

class Interface : public RefObject {
 public:
  static constexpr uint32_t kInterfaceId = 0;

  // slot 3: returns the null pair when the object lacks the interface.
  virtual InterfacePair QueryInterface(uint32_t id);
  // slot 4
  virtual MetaClass* GetMetaClass();
};

class MetaClass {
 public:
  MetaClass();
  MetaClass(const MetaClass&) = delete;
  MetaClass& operator=(const MetaClass&) = delete;

  virtual ~MetaClass();                                         // slots 0, 1
  virtual uint32_t GetInterfaceId() const = 0;                  // slot 2
  virtual const char* GetName() const;                          // slot 3
  virtual InterfacePair Cast(uint32_t id, void* object);        // slot 4
  virtual InterfacePair CastExact(uint32_t id, void* object);   // slot 5
  virtual Interface* ToInterface(void* object) const = 0;       // slot 6
  virtual RefObject* ToRefObject(void* object) const;           // slot 7
  virtual const MetaClass* GetBase() const;                     // slot 8
  virtual void AddRef(void* object);                            // slot 9
  virtual bool TryAddRef(void* object);                         // slot 10
  virtual void Release(void* object);                           // slot 11

  MetaClass* Next() const { return next_; }

 private:
  MetaClass* next_ = nullptr;
};

// Lazily created metaclass registry support (defined in the runtime).
namespace Detail {
void LockMetaClasses();
void UnlockMetaClasses();
}  // namespace Detail

template <class T>
class InterfaceMetaClass final : public MetaClass {
 public:
  uint32_t GetInterfaceId() const override { return T::kInterfaceId; }
  Interface* ToInterface(void* object) const override {
    return object ? static_cast<Interface*>(static_cast<T*>(object)) : nullptr;
  }

  // One instance per interface type, made on first use and deleted only at
  // runtime shut-down.
  static MetaClass* Instance() {
    MetaClass* current = instance_.load(std::memory_order_acquire);
    if (current) return current;
    Detail::LockMetaClasses();
    current = instance_.load(std::memory_order_relaxed);
    if (!current) {
      current = new InterfaceMetaClass<T>();
      instance_.store(current, std::memory_order_release);
    }
    Detail::UnlockMetaClasses();
    return current;
  }

  ~InterfaceMetaClass() override { instance_.store(nullptr, std::memory_order_release); }

 private:
  InterfaceMetaClass() = default;
  static inline std::atomic<MetaClass*> instance_{nullptr};
};

// Owning reference: the object pointer and the metaclass that counts it.
template <class T>
class AutoRef {
 public:
  AutoRef() noexcept = default;
  AutoRef(std::nullptr_t) noexcept {}
  // Adopts one reference that the caller already holds.
  static AutoRef Adopt(T* object, MetaClass* metaClass) noexcept {
    AutoRef r;
    r.object_ = object;
    r.metaClass_ = object ? metaClass : nullptr;
    return r;
  }
  static AutoRef Adopt(InterfacePair pair) noexcept {
    return Adopt(static_cast<T*>(pair.object), pair.metaClass);
  }
  // Adds a reference to an object of a known interface type.
  static AutoRef Share(T* object) {
    AutoRef r;
    if (object) {
      r.metaClass_ = InterfaceMetaClass<T>::Instance();
      r.metaClass_->AddRef(object);
      r.object_ = object;
    }
    return r;
  }

  AutoRef(const AutoRef& other) noexcept : object_(other.object_), metaClass_(other.metaClass_) {
    if (object_) metaClass_->AddRef(object_);
  }
  AutoRef(AutoRef&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)),
        metaClass_(std::exchange(other.metaClass_, nullptr)) {}
  AutoRef& operator=(const AutoRef& other) noexcept {
    AutoRef copy(other);
    Swap(copy);
    return *this;
  }
  AutoRef& operator=(AutoRef&& other) noexcept {
    AutoRef moved(std::move(other));
    Swap(moved);
    return *this;
  }
  ~AutoRef() { Reset(); }

  void Reset() noexcept {
    T* object = std::exchange(object_, nullptr);
    MetaClass* metaClass = std::exchange(metaClass_, nullptr);
    if (object) metaClass->Release(object);
  }
  void Swap(AutoRef& other) noexcept {
    std::swap(object_, other.object_);
    std::swap(metaClass_, other.metaClass_);
  }
  // Gives up ownership without releasing.
  InterfacePair Detach() noexcept {
    InterfacePair pair{object_, metaClass_};
    object_ = nullptr;
    metaClass_ = nullptr;
    return pair;
  }

  T* Get() const noexcept { return object_; }
  MetaClass* GetMetaClass() const noexcept { return metaClass_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  T* operator->() const {
    if (!object_) throw std::invalid_argument("Attempt to use null reference.");
    return object_;
  }
  T& operator*() const { return *operator->(); }

  // Asks the object for interface U; null when it has none.
  template <class U>
  AutoRef<U> Query() const {
    if (!object_) return {};
    return AutoRef<U>::Adopt(metaClass_->Cast(U::kInterfaceId, object_));
  }

 private:
  T* object_ = nullptr;
  MetaClass* metaClass_ = nullptr;
};

static_assert(sizeof(AutoRef<Interface>) == 2 * sizeof(void*));

}  // namespace Processor
