// Object base, interface base, metaclasses, lifetime cells and reference slots.
#include <mutex>

#include "core/common/assert.h"
#include "core/common/trace.h"
#include "processor/runtime.h"
#include "processor/singleton.h"

namespace Processor {

namespace {

RecursiveLock gCellLock;
RecursiveLock gSlotLock;
RecursiveLock gMetaClassLock;
std::atomic<MetaClass*> gMetaClassHead{nullptr};
std::atomic<bool> gRuntimeStarted{false};

// The shut-down handler, registered at load time.
struct RuntimeShutdown {
  ~RuntimeShutdown() { ShutdownRuntime(); }
} gRuntimeShutdown;

}  // namespace

namespace Detail {
void LockMetaClasses() { gMetaClassLock.Lock(); }
void UnlockMetaClasses() { gMetaClassLock.Unlock(); }
}  // namespace Detail

void MarkRuntimeStarted() { gRuntimeStarted.store(true); }
bool IsRuntimeStarted() { return gRuntimeStarted.load(); }

// ---- RefObject / Interface ----------------------------------------------------

RefObject::~RefObject() { DetachLifetime(); }

void RefObject::OnFinalRelease() {
  DetachLifetime();
  delete this;
}

void DropProxy(LifetimeProxy* proxy) {
  if (!proxy) return;
  const int64_t before = proxy->count.fetch_sub(1);
  if (before <= 0) HV_ASSERT_TEXT("RefCount > 0");
  if (before == 1) delete proxy;
}

void RefObject::DetachLifetime() noexcept {
  LifetimeCell* cell = _GCData;
  if (!cell) return;
  std::lock_guard<RecursiveLock> lock(gCellLock);
  cell = _GCData;
  if (!cell) return;
  _GCData = nullptr;
  if (cell->proxy) {
    cell->proxy->dead = true;
    DropProxy(cell->proxy);
  }
  delete cell;
}

LifetimeCell* GetOrCreateLifetimeCell(RefObject* object) {
  if (!object) {
    HV_ASSERT_TEXT("object != 0");
    return nullptr;
  }
  std::lock_guard<RecursiveLock> lock(gCellLock);
  if (object->_GCData) return object->_GCData;
  auto* cell = new LifetimeCell();
  cell->proxy = new LifetimeProxy();
  if (cell->proxy->count.load() <= 0) HV_ASSERT_TEXT("proxy->GetRefCount() > 0");
  object->_GCData = cell;
  return cell;
}

InterfacePair Interface::QueryInterface(uint32_t) { return {}; }
MetaClass* Interface::GetMetaClass() { return InterfaceMetaClass<Interface>::Instance(); }

// ---- MetaClass ------------------------------------------------------------------

MetaClass::MetaClass() {
  // Pushed at the head of the process-wide list; deleted at shut-down.
  next_ = gMetaClassHead.load();
  while (!gMetaClassHead.compare_exchange_weak(next_, this)) {
  }
}

MetaClass::~MetaClass() = default;

const char* MetaClass::GetName() const { return ""; }

InterfacePair MetaClass::Cast(uint32_t id, void* object) {
  if (!object) return {};
  if (id == GetInterfaceId()) {
    AddRef(object);
    return {object, this};
  }
  return ToInterface(object)->QueryInterface(id);
}

InterfacePair MetaClass::CastExact(uint32_t id, void* object) {
  if (id != GetInterfaceId()) return {};
  if (!object) return {nullptr, this};
  AddRef(object);
  return {object, this};
}

RefObject* MetaClass::ToRefObject(void* object) const { return ToInterface(object); }
const MetaClass* MetaClass::GetBase() const { return nullptr; }

void MetaClass::AddRef(void* object) {
  if (object) ToRefObject(object)->AddRefDirect();
}

bool MetaClass::TryAddRef(void* object) { return object && ToRefObject(object)->TryAddRefDirect(); }

void MetaClass::Release(void* object) {
  if (object) ToRefObject(object)->ReleaseDirect();
}

// ---- reference slots ---------------------------------------------------------------

RefSlot* CreateSlot(void* context, RefObject* object, SlotCallback callback, int32_t kind) {
  std::lock_guard<RecursiveLock> lock(gSlotLock);
  auto* slot = new RefSlot{nullptr, kind, context, callback};
  if (object && kind == kTrackingSlot) {
    LifetimeCell* cell = GetOrCreateLifetimeCell(object);
    if (cell && cell->proxy) {
      cell->proxy->count.fetch_add(1);
      slot->proxy = cell->proxy;
    }
  }
  return slot;
}

void AssignSlot(RefSlot* slot, RefObject* object) {
  if (!slot) {
    HV_ASSERT_TEXT("ref != 0");
    return;
  }
  std::lock_guard<RecursiveLock> lock(gSlotLock);
  DropProxy(std::exchange(slot->proxy, nullptr));
  if (!slot->callback) {
    HV_ASSERT_TEXT("Callback != 0");
    return;
  }
  slot->callback(slot->context, 1, object);
  if (object && slot->kind == kTrackingSlot) {
    LifetimeCell* cell = GetOrCreateLifetimeCell(object);
    if (cell && cell->proxy) {
      cell->proxy->count.fetch_add(1);
      slot->proxy = cell->proxy;
    }
  }
}

void GetSlot(RefSlot* slot, void* out) {
  if (!slot) {
    HV_ASSERT_TEXT("ref != 0");
    return;
  }
  std::lock_guard<RecursiveLock> lock(gSlotLock);
  if ((!slot->proxy || !slot->proxy->dead) && slot->callback) slot->callback(slot->context, 3, out);
}

void DestroySlot(RefSlot* slot) {
  if (!slot) return;
  std::lock_guard<RecursiveLock> lock(gSlotLock);
  DropProxy(slot->proxy);
  delete slot;
}

// ---- shut-down -----------------------------------------------------------------------

void ShutdownRuntime() {
  if (gRuntimeStarted.exchange(false)) {
    Common::SetTraceThreshold(6);
    SingletonRegistry::Shutdown();
  }
  MetaClass* metaClass = gMetaClassHead.exchange(nullptr);
  while (metaClass) {
    MetaClass* next = metaClass->Next();
    delete metaClass;
    metaClass = next;
  }
}

}  // namespace Processor
