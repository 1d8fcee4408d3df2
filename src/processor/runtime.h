// Runtime services: object creation, reference slots, lifetime cells and the
// shut-down at unload.
#pragma once

#include <cstdint>
#include <utility>

#include "hvplug/processor.h"
#include "processor/recursive_lock.h"

namespace Processor {

// Sets the runtime-started flag; the shut-down handler acts only after it.
void MarkRuntimeStarted();
bool IsRuntimeStarted();

// Creates a runtime object (count 1, owned by the caller).
template <class T, class... Args>
T* CreateObject(Args&&... args) {
  MarkRuntimeStarted();
  return new T(std::forward<Args>(args)...);
}

// Makes an owning reference of interface I to a new object.
template <class I, class T, class... Args>
AutoRef<I> MakeRef(Args&&... args) {
  T* object = CreateObject<T>(std::forward<Args>(args)...);
  return AutoRef<I>::Adopt(static_cast<I*>(object), InterfaceMetaClass<I>::Instance());
}

// Answers an interface query for one interface part of an object.
template <class I, class T>
InterfacePair AnswerInterface(T* self) {
  I* part = static_cast<I*>(self);
  MetaClass* metaClass = InterfaceMetaClass<I>::Instance();
  metaClass->AddRef(part);
  return {part, metaClass};
}

// Lifetime cell of an object: a proxy that survives the object while
// lifetime-tracking slots hold it.
struct LifetimeProxy {
  std::atomic<int64_t> count{1};
  bool dead = false;
};
struct LifetimeCell {
  LifetimeProxy* proxy = nullptr;
};
LifetimeCell* GetOrCreateLifetimeCell(RefObject* object);
void DropProxy(LifetimeProxy* proxy);

// Reference slot: a smart pointer whose referenced type is known only to its
// callback. Operations: 1 store the pointer (or clear), 2 release the object,
// 3 copy the object out as a new owning reference.
using SlotCallback = void (*)(void* context, int operation, void* argument);
struct RefSlot {
  LifetimeProxy* proxy;
  int32_t kind;  // 5 plain, 7 lifetime-tracking
  void* context;
  SlotCallback callback;
};
inline constexpr int32_t kPlainSlot = 5;
inline constexpr int32_t kTrackingSlot = 7;
RefSlot* CreateSlot(void* context, RefObject* object, SlotCallback callback, int32_t kind);
void AssignSlot(RefSlot* slot, RefObject* object);
void GetSlot(RefSlot* slot, void* out);
void DestroySlot(RefSlot* slot);

// Runs the runtime shut-down now (normally at unload).
void ShutdownRuntime();

}  // namespace Processor
