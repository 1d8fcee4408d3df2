// Recursive POSIX mutex used by the error, trace and file code.
#pragma once

#include <pthread.h>

namespace Common {

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();
  // For std::lock_guard.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace Common
