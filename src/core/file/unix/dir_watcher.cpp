#include "core/file/unix/dir_watcher.h"

#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

#include "core/common/assert.h"
#include "core/common/module.h"

namespace FileLayer {

namespace {

// Statically initialised: usable at any time during load and unload.
pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gCondition = PTHREAD_COND_INITIALIZER;
NotificationRecord* gCurrentNotification = nullptr;  // the list head
uint32_t gNotificationCount = 0;
bool gStop = false;
bool gThreadRunning = false;
bool gUnloadRegistered = false;
pthread_t gThread;
// The record being checked, and the one whose handler runs, right now
// (both outside the mutex).
NotificationRecord* gChecking = nullptr;
NotificationRecord* gCalling = nullptr;
uint64_t gChecks = 0;

class Lock {
 public:
  Lock() { pthread_mutex_lock(&gMutex); }
  ~Lock() { pthread_mutex_unlock(&gMutex); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

void Link(NotificationRecord& record) {
  if (!gCurrentNotification) {
    record.next = record.prev = &record;
    gCurrentNotification = &record;
  } else {
    record.next = gCurrentNotification;
    record.prev = gCurrentNotification->prev;
    record.prev->next = &record;
    gCurrentNotification->prev = &record;
  }
  record.linked = true;
  ++gNotificationCount;
}

void Unlink(NotificationRecord& record) {
  if (!record.linked) return;
  if (record.next == &record) {
    gCurrentNotification = nullptr;
  } else {
    record.prev->next = record.next;
    record.next->prev = record.prev;
    if (gCurrentNotification == &record) gCurrentNotification = record.next;
  }
  record.next = record.prev = nullptr;
  record.linked = false;
  --gNotificationCount;
}

struct DirState {
  bool exists = false;
  timespec modified{};
};

DirState StatDirectory(const std::string& path) {
  DirState state;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    state.exists = true;
    state.modified = st.st_mtim;
  }
  return state;
}

timespec DeadlineAfter(long milliseconds) {
  timeval now{};
  gettimeofday(&now, nullptr);
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + milliseconds / 1000;
  long nanoseconds = now.tv_usec * 1000L + (milliseconds % 1000) * 1000000L;
  if (nanoseconds >= 1000000000L) {
    nanoseconds -= 1000000000L;
    ++deadline.tv_sec;
  }
  deadline.tv_nsec = nanoseconds;
  return deadline;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

timespec Now() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return timespec{now.tv_sec, now.tv_usec * 1000L};
}

// Called with the mutex held; returns with it held.
void CheckNext() {
  NotificationRecord* record = gCurrentNotification;
  gCurrentNotification = record->next;
  ++gChecks;
  // stat may block (a hung network mount): not with the mutex held. The
  // record's directory waits for the check before it goes away.
  const std::string path = record->path;
  gChecking = record;
  pthread_mutex_unlock(&gMutex);
  const DirState state = StatDirectory(path);
  pthread_mutex_lock(&gMutex);
  gChecking = nullptr;
  pthread_cond_broadcast(&gCondition);
  if (!record->linked) return;  // unregistered meanwhile
  const bool appeared = state.exists && !record->exists;
  const bool disappeared = !state.exists && record->exists;
  const bool modified =
      state.exists && record->exists &&
      (state.modified.tv_sec != record->modified.tv_sec || state.modified.tv_nsec != record->modified.tv_nsec);
  if (!appeared && !disappeared && !modified) return;

  // One notification per registration: the caller registers again to hear
  // of the next change.
  Unlink(*record);
  record->exists = state.exists;
  record->modified = state.modified;
  std::shared_ptr<dir_notification_handler> handler = std::move(record->handler);
  if (!handler) return;
  const auto what = appeared      ? dir_notification_handler::change::created
                    : disappeared ? dir_notification_handler::change::removed
                                  : dir_notification_handler::change::modified;
  rio_dir* owner = record->owner;
  gCalling = record;
  pthread_mutex_unlock(&gMutex);
  handler->OnDirectoryChanged(*owner, what);
  handler.reset();
  pthread_mutex_lock(&gMutex);
  gCalling = nullptr;
  pthread_cond_broadcast(&gCondition);
}

void* WatcherMain(void*) {
  Lock lock;
  while (!gStop) {
    if (gNotificationCount == 0) {
      pthread_cond_wait(&gCondition, &gMutex);
      continue;
    }
    CheckNext();
    if (gStop) break;
    // About one check per directory and second, at least 100 ms apart.
    const long interval = std::max<long>(100, 1000 / std::max<uint32_t>(gNotificationCount, 1));
    const timespec deadline = DeadlineAfter(interval);
    while (!gStop && Before(Now(), deadline)) {
      if (pthread_cond_timedwait(&gCondition, &gMutex, &deadline) == ETIMEDOUT) break;
    }
  }
  return nullptr;
}

}  // namespace

void RegisterNotification(NotificationRecord& record, std::shared_ptr<dir_notification_handler> handler) {
  if (!record.haveState) {
    const DirState state = StatDirectory(record.path);
    Lock lock;
    record.exists = state.exists;
    record.modified = state.modified;
    record.haveState = true;
  }
  Lock lock;
  record.handler = std::move(handler);
  if (!record.linked) Link(record);
  if (!gThreadRunning) {
    gStop = false;
    if (pthread_create(&gThread, nullptr, WatcherMain, nullptr) == 0) {
      gThreadRunning = true;
      if (!gUnloadRegistered) {
        gUnloadRegistered = true;
        Common::RegisterUnloadAction(ShutdownDirectoryWatcher);
      }
    }
  }
  pthread_cond_broadcast(&gCondition);
}

void UnregisterNotification(NotificationRecord& record) {
  Lock lock;
  Unlink(record);
  record.handler.reset();
  // A handler may destroy its own directory; only other threads wait.
  while ((gCalling == &record || gChecking == &record) && !(gThreadRunning && pthread_equal(pthread_self(), gThread)))
    pthread_cond_wait(&gCondition, &gMutex);
}

void ShutdownDirectoryWatcher() {
  pthread_t thread;
  {
    Lock lock;
    if (!gThreadRunning) return;
    gStop = true;
    thread = gThread;
    pthread_cond_broadcast(&gCondition);
  }
  const int res = pthread_join(thread, nullptr);
  if (res) HV_ASSERT_TEXT("!res");
  Lock lock;
  if (gCurrentNotification) HV_ASSERT_TEXT("CurrentNotification == 0");
  if (gNotificationCount) HV_ASSERT_TEXT("NotificationCount == 0");
  gThreadRunning = false;
  gStop = false;
}

bool DirectoryWatcherRunning() {
  Lock lock;
  return gThreadRunning;
}

uint64_t DirectoryWatcherChecks() {
  Lock lock;
  return gChecks;
}

}  // namespace FileLayer
