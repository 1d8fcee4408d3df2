#include "processor/singleton.h"

namespace Processor {

namespace {
RecursiveLock gRegistryLock;
SingletonBase<true>* gHead = nullptr;
bool gShutDown = false;

void Unlink(SingletonBase<true>* record) {
  if (!record->linked_) return;
  if (record->prev_) record->prev_->next_ = record->next_;
  else gHead = record->next_;
  if (record->next_) record->next_->prev_ = record->prev_;
  record->next_ = record->prev_ = nullptr;
  record->linked_ = false;
}
}  // namespace

void SingletonRegistry::Register(SingletonBase<true>* record, RefObject* object) {
  std::lock_guard<RecursiveLock> lock(gRegistryLock);
  if (gShutDown) return;
  object->AddRefDirect();
  record->object_ = object;
  record->next_ = gHead;
  record->prev_ = nullptr;
  if (gHead) gHead->prev_ = record;
  gHead = record;
  record->linked_ = true;
}

void SingletonRegistry::Unregister(SingletonBase<true>* record) {
  std::lock_guard<RecursiveLock> lock(gRegistryLock);
  Unlink(record);
}

bool SingletonRegistry::IsShutDown() {
  std::lock_guard<RecursiveLock> lock(gRegistryLock);
  return gShutDown;
}

void SingletonRegistry::Shutdown() {
  gRegistryLock.Lock();
  if (gShutDown) {
    gRegistryLock.Unlock();
    return;
  }
  // Most recent first; the lock is let go around each release so that
  // destructors may use the runtime.
  while (SingletonBase<true>* record = gHead) {
    Unlink(record);
    RefObject* object = record->object_;
    gRegistryLock.Unlock();
    object->ReleaseDirect();
    gRegistryLock.Lock();
  }
  gShutDown = true;
  gRegistryLock.Unlock();
}

}  // namespace Processor
