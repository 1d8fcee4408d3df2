// The stand-in file services hand out the root directory.
#include "hvplug/file_services.h"

#include <gtest/gtest.h>

#include "hvplug/file.h"

namespace {

TEST(FileServices, GetRootDirAnswersTheRoot) {
  auto services = HostCreateFileServices();
  ASSERT_TRUE(services);
  auto queried = services.Query<VirtualWareRaw::FileServices>();
  EXPECT_TRUE(queried);
  std::shared_ptr<rio_dir> root;
  EXPECT_TRUE(services->GetRootDir(root).IsSuccess());
  ASSERT_TRUE(root);
  std::u16string path;
  EXPECT_TRUE(root->GetPath(path));
  EXPECT_EQ(path, u"/");
  auto etc = root->OpenDir(u"etc");
  EXPECT_TRUE(etc);
}

}  // namespace
