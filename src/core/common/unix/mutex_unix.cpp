#include "core/common/unix/mutex_unix.h"

#include "core/common/assert.h"

namespace Common {

Mutex::Mutex() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

void Mutex::Lock() { pthread_mutex_lock(&mutex_); }

void Mutex::Unlock() {
  const int ret = pthread_mutex_unlock(&mutex_);
  if (!(ret == 0))
    ReportAssertion("ret == 0 && \"Probably unlock from non-owner thread!\"", "core/common/unix/mutex_unix", 51);
}

}  // namespace Common
