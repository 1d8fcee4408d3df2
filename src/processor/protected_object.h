// Mix-in that gives a class its own recursive mutex.
#pragma once

#include <pthread.h>

namespace Processor {

class ProtectedObject {
 public:
  ProtectedObject();
  virtual ~ProtectedObject();
  ProtectedObject(const ProtectedObject&) = delete;
  ProtectedObject& operator=(const ProtectedObject&) = delete;

  void lock() { pthread_mutex_lock(mutex_); }
  void unlock() { pthread_mutex_unlock(mutex_); }

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace Processor
