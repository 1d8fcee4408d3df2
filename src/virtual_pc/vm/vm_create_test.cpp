#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/server/server_testutil.h"
#include "core/common/error_codes.h"
#include "thrown.h"
#include "virtual_pc/vm/vm.h"

namespace {

using ServerTest::Scratch;

Common::Error CheckError(rio_dir& root, const std::u16string& location, const std::u16string& name) {
  return HvTest::Thrown([&] { VirtualPC::CheckMSVPCVirtualMachineParameters(root, location, name); });
}

TEST(CreateParametersTest, LocationMustOpenAndTheMachineMustBeNew) {
  Scratch scratch;
  auto root = ServerTest::AgentRoot();
  EXPECT_TRUE(CheckError(*root, scratch.wpath(), u"fresh").IsSuccess());

  const Common::Error missing = CheckError(*root, scratch.wpath() + u"/none", u"fresh");
  EXPECT_EQ(missing.Code(), Code::kOpenVMFailed);
  EXPECT_TRUE(missing.Cause().IsFailure());

  // A directory alone is no machine; its configuration file makes one.
  mkdir((scratch / "a_b").c_str(), 0755);
  EXPECT_TRUE(CheckError(*root, scratch.wpath(), u"a/b").IsSuccess());
  ServerTest::WriteFile(scratch / "a_b/a_b.vmc", "<preferences/>");
  const Common::Error exists = CheckError(*root, scratch.wpath(), u"a/b");
  EXPECT_EQ(exists.Code(), Code::kVMExists);
  EXPECT_STREQ(exists.Function(), "CheckMSVPCVirtualMachineParameters");
  EXPECT_FALSE(root->Failed());
}

TEST(CreateParametersTest, FileSystemNameReplacesTheNineCharacters) {
  EXPECT_EQ(VirtualPC::MakeVMFileSystemName(u"a\\b/c:d*e?f\"g<h>i|j"), u"a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(VirtualPC::MakeVMFileSystemName(u"Windows XP (2)"), u"Windows XP (2)");
}

}  // namespace
