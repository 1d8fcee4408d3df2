// Directory change notification: one call per change and registration, and
// no thread left behind once the watcher is shut down.
#include "core/file/unix/dir_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/common/error.h"
#include "core/file/file_testutil.h"
#include "core/file/unix/posix_dir.h"

namespace {

using FileTest::ScratchDir;
using namespace std::chrono_literals;
using change = dir_notification_handler::change;

// Generous: the watcher checks each directory about once a second.
constexpr auto kPatience = 20s;

class Recorder : public dir_notification_handler {
 public:
  void OnDirectoryChanged(rio_dir& dir, change what) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(what);
    paths_.push_back(FileTest::PathOf(dir));
    owned.reset();  // a handler may destroy its directory from inside the call
    changed_.notify_all();
  }

  // Waits until count events arrived; false after kPatience.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return events_.size() >= count; });
  }
  std::vector<change> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::u16string> Paths() {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
  }
  std::unique_ptr<posix_dir> owned;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<change> events_;
  std::vector<std::u16string> paths_;
};

// Moves the directory's modification time to a distinct value, so that the
// change does not depend on the clock's granularity.
void Touch(const std::string& path, time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Waits until the watcher has made count more checks.
bool WaitForChecks(uint64_t count) {
  const uint64_t target = FileLayer::DirectoryWatcherChecks() + count;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (FileLayer::DirectoryWatcherChecks() < target) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
  }
  return count;
}

TEST(DirWatcher, FiresOncePerChangeAndRegistration) {
  ScratchDir scratch;
  ASSERT_EQ(mkdir((scratch / "watched").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((scratch / "quiet").c_str(), 0755), 0);
  auto recorder = std::make_shared<Recorder>();
  auto idle = std::make_shared<Recorder>();
  {
    posix_dir watched(scratch / "watched");
    posix_dir quiet(scratch / "quiet");
    ASSERT_TRUE(quiet.EnableNotification(idle));  // keeps the watcher cycling
    ASSERT_TRUE(watched.EnableNotification(recorder));
    ASSERT_TRUE(WaitForChecks(2));
    EXPECT_TRUE(recorder->Events().empty());  // nothing changed yet

    Touch(scratch / "watched", 1000);
    ASSERT_TRUE(recorder->WaitFor(1));
    // Further changes go unheard until the handler registers again.
    Touch(scratch / "watched", 2000);
    Touch(scratch / "watched", 3000);
    ASSERT_TRUE(WaitForChecks(3));
    EXPECT_EQ(recorder->Events().size(), 1u);

    // Registering again reports the changes made meanwhile, once.
    ASSERT_TRUE(watched.EnableNotification(recorder));
    ASSERT_TRUE(recorder->WaitFor(2));
    ASSERT_TRUE(WaitForChecks(3));
    EXPECT_EQ(recorder->Events().size(), 2u);

    EXPECT_EQ(recorder->Events(), (std::vector<change>{change::modified, change::modified}));
    EXPECT_EQ(recorder->Paths()[0], FileTest::PathOf(watched));
    EXPECT_TRUE(idle->Events().empty());
  }  // destroying the directories unregisters them

  ASSERT_TRUE(FileLayer::DirectoryWatcherRunning());
  FileLayer::ShutdownDirectoryWatcher();
  EXPECT_FALSE(FileLayer::DirectoryWatcherRunning());
}

TEST(DirWatcher, ReportsADirectoryAppearingAndDisappearing) {
  ScratchDir scratch;
  auto recorder = std::make_shared<Recorder>();
  posix_dir absent(scratch / "later");
  ASSERT_TRUE(absent.EnableNotification(recorder));
  ASSERT_TRUE(WaitForChecks(1));
  EXPECT_TRUE(recorder->Events().empty());
  ASSERT_EQ(mkdir((scratch / "later").c_str(), 0755), 0);
  ASSERT_TRUE(recorder->WaitFor(1));
  ASSERT_TRUE(absent.EnableNotification(recorder));
  ASSERT_EQ(rmdir((scratch / "later").c_str()), 0);
  ASSERT_TRUE(recorder->WaitFor(2));
  EXPECT_EQ(recorder->Events(), (std::vector<change>{change::created, change::removed}));
}

TEST(DirWatcher, ShutdownLeavesNoThreadBehind) {
  ScratchDir scratch;
  FileLayer::ShutdownDirectoryWatcher();  // a clean start whatever ran before
  const size_t before = ThreadCount();
  {
    posix_dir dir(scratch.path());
    ASSERT_TRUE(dir.EnableNotification(std::make_shared<Recorder>()));
    EXPECT_EQ(ThreadCount(), before + 1);
  }
  FileLayer::ShutdownDirectoryWatcher();
  EXPECT_EQ(ThreadCount(), before);
  // A later registration starts a new watcher.
  posix_dir dir(scratch.path());
  auto recorder = std::make_shared<Recorder>();
  ASSERT_TRUE(dir.EnableNotification(recorder));
  Touch(scratch.path(), 4000);
  EXPECT_TRUE(recorder->WaitFor(1));
  EXPECT_EQ(ThreadCount(), before + 1);
}

TEST(DirWatcher, AHandlerMayDestroyItsDirectory) {
  ScratchDir scratch;
  auto handler = std::make_shared<Recorder>();
  handler->owned = std::make_unique<posix_dir>(scratch.path());
  ASSERT_TRUE(handler->owned->EnableNotification(handler));
  Touch(scratch.path(), 5000);
  EXPECT_TRUE(handler->WaitFor(1));
  FileLayer::ShutdownDirectoryWatcher();
  EXPECT_FALSE(FileLayer::DirectoryWatcherRunning());
}

}  // namespace
