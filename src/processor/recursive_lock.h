// The runtime's own recursive lock: a lock count, a recursion count, the
// owner thread and a semaphore that waiters sleep on (made on first contention).
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>

namespace Processor {

class RecursiveLock {
 public:
  constexpr RecursiveLock() = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock();
  void Unlock();
  // Marks the lock destroyed and frees its semaphore when nobody waits.
  void Destroy();

  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  sem_t* GetSemaphore();
  void TakeDownSemaphore();

  std::atomic<int64_t> lockCount_{0};
  int64_t recursion_ = 0;
  std::atomic<pthread_t> owner_{pthread_t{}};
  std::atomic<sem_t*> semaphore_{nullptr};
  bool destroyed_ = false;
};

}  // namespace Processor
