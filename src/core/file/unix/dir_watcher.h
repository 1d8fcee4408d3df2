// Directory change notification: one process-wide watcher thread polls the
// registered directories with stat and calls each one's handler once when the
// directory changes, appears or disappears.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <string>

#include "hvplug/file.h"

namespace FileLayer {

// A directory's registration; lives in the directory object.
struct NotificationRecord {
  NotificationRecord* next = nullptr;
  NotificationRecord* prev = nullptr;
  bool linked = false;
  bool haveState = false;  // the last seen state below has been taken
  rio_dir* owner = nullptr;
  std::string path;
  std::shared_ptr<dir_notification_handler> handler;
  timespec modified{};  // last seen st_mtim
  bool exists = false;
};

// Links the record (at most once) and starts the watcher with the first one.
void RegisterNotification(NotificationRecord& record, std::shared_ptr<dir_notification_handler> handler);
// Unlinks the record and waits while the watcher is calling its handler on
// another thread. Run by the directory's destructor.
void UnregisterNotification(NotificationRecord& record);

// Stops and joins the watcher (registered to run at unload). A later
// registration starts a new watcher.
void ShutdownDirectoryWatcher();
bool DirectoryWatcherRunning();
// How many directory checks the watcher has made so far.
uint64_t DirectoryWatcherChecks();

}  // namespace FileLayer
