// The stand-in file services hand out the root directory and, when given
// one, the agent's file tracker.
#include "hvplug/file_services.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/common/error.h"
#include "core/file/dir_access.h"
#include "hvplug/file.h"

namespace {

TEST(FileServices, GetRootDirAnswersANewRootEachTime) {
  auto services = HostCreateFileServices();
  ASSERT_TRUE(services);
  auto queried = services.Query<VirtualWareRaw::FileServices>();
  EXPECT_TRUE(queried);
  std::shared_ptr<rio_dir> root, second;
  EXPECT_TRUE(services->GetRootDir(root).IsSuccess());
  ASSERT_TRUE(root);
  std::u16string path;
  EXPECT_TRUE(root->GetPath(path));
  EXPECT_EQ(path, u"/");
  auto etc = FileLayer::OpenDir(root, u"etc");
  EXPECT_TRUE(etc);
  // Directory objects keep an error state: callers on other threads need their own.
  EXPECT_TRUE(services->GetRootDir(second).IsSuccess());
  EXPECT_NE(root.get(), second.get());
}

TEST(FileServices, AnswersTheTrackerOnlyWhenGivenOne) {
  EXPECT_FALSE(HostCreateFileServices().Query<VirtualWareRaw::FileTracker>());

  char pattern[] = "/tmp/hvservicesXXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker;
  ASSERT_FALSE(HvCreateFileTracker(Common::Utf8ToUtf16(dir + "/state"), tracker));
  {
    auto services = HostCreateFileServices("/", tracker);
    auto answered = services.Query<VirtualWareRaw::FileTracker>();
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered.Get(), tracker.Get());
    std::u16string id;
    EXPECT_FALSE(answered->GetCurrentChangeId(id));
    EXPECT_FALSE(id.empty());
  }
  // The services and the answer released their references.
  EXPECT_EQ(static_cast<Processor::RefObject*>(tracker.Get())->RefCount(), 1);
  tracker.Reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
