#include "core/fdisk/virtual/vhdx/rio_core_file.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"
#include "core/file/memory_file.h"

namespace Vhdx {
namespace {

TEST(RioCoreFile, CreatesAndOpensThroughTheFileLayer) {
  std::shared_ptr<CoreFile> core = MakeRioCoreFile(Common::CreateMemoryFile());
  ASSERT_TRUE(CreateDiskFile(core, {64 << 20, 512, false}).IsSuccess());
  EXPECT_EQ(core->GetSize(), 4u << 20);
  auto disk = OpenDiskFileWritable(core, MakePage83MetadataConsumer());
  EXPECT_EQ(disk->GetGeometry().virtualSize, 64u << 20);
  uint8_t buffer[16];
  EXPECT_EQ(core->ReadAt(core->GetSize() - 8, buffer, 16), 8u);  // short read at the end
  // Growth past the memory file's limit comes back as the file layer's error.
  std::shared_ptr<CoreFile> small = MakeRioCoreFile(Common::CreateMemoryFile(1 << 20));
  Common::Error error = CreateDiskFile(small, {64 << 20, 512, false});
  EXPECT_EQ(error.Code(), Code::kVhdxCreateFailed);
  EXPECT_TRUE(error.Cause().IsFailure());
}

}  // namespace
}  // namespace Vhdx
