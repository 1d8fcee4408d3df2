#include "processor/recursive_lock.h"

#include <cerrno>
#include <new>

namespace Processor {

namespace {
sem_t* const kTakingDown = reinterpret_cast<sem_t*>(~uintptr_t{0});
}

sem_t* RecursiveLock::GetSemaphore() {
  for (;;) {
    sem_t* current = semaphore_.load();
    if (current == kTakingDown) continue;
    if (current) return current;
    auto* fresh = new sem_t;
    sem_init(fresh, 0, 0);
    if (semaphore_.compare_exchange_strong(current, fresh)) return fresh;
    sem_destroy(fresh);
    delete fresh;
  }
}

void RecursiveLock::Lock() {
  const pthread_t self = pthread_self();
  if (lockCount_.fetch_add(1) != 0) {
    if (pthread_equal(owner_.load(), self)) {
      ++recursion_;
      return;
    }
    sem_t* semaphore = GetSemaphore();
    while (sem_wait(semaphore) != 0) {
    }
  }
  recursion_ = 1;
  owner_.store(self);
  if (destroyed_) TakeDownSemaphore();
}

void RecursiveLock::Unlock() {
  if (--recursion_ > 0) {
    lockCount_.fetch_sub(1);
    return;
  }
  owner_.store(pthread_t{});
  if (lockCount_.fetch_sub(1) - 1 > 0) sem_post(GetSemaphore());
}

void RecursiveLock::TakeDownSemaphore() {
  sem_t* current = semaphore_.exchange(kTakingDown);
  if (current == kTakingDown) return;
  if (lockCount_.load() <= recursion_) {
    semaphore_.store(nullptr);
    if (current) {
      sem_destroy(current);
      delete current;
    }
  } else {
    semaphore_.store(current);
  }
}

void RecursiveLock::Destroy() {
  Lock();
  destroyed_ = true;
  TakeDownSemaphore();
  Unlock();
}

}  // namespace Processor
