// The memory file: positions, growth and the size limit.
#include "core/file/memory_file.h"

#include <gtest/gtest.h>

#include <string>

#include "core/common/error_codes.h"
#include "core/file/file_testutil.h"

namespace {

using FileTest::ReadText;
using FileTest::WriteText;

TEST(MemoryFile, WritesGrowTheContentsAndGapsReadAsZeros) {
  auto file = Common::CreateMemoryFile();
  EXPECT_EQ(file->GetSize(), 0u);
  EXPECT_EQ(WriteText(*file, "abc"), 3u);
  EXPECT_EQ(file->Seek(6), 6);
  EXPECT_EQ(WriteText(*file, "xyz"), 3u);
  EXPECT_EQ(file->Contents(), std::string("abc\0\0\0xyz", 9));
  EXPECT_EQ(file->GetSize(), 9u);
  EXPECT_EQ(file->SeekEnd(-4), 5);
  EXPECT_EQ(ReadText(*file, 100), std::string("\0xyz", 4));
  EXPECT_EQ(file->SeekRelative(-20), -11);
  EXPECT_EQ(ReadText(*file, 4), "");  // before the start: nothing
  file->Seek(100);
  EXPECT_EQ(ReadText(*file, 4), "");  // past the end: nothing
  EXPECT_FALSE(file->Failed());

  EXPECT_TRUE(file->Truncate(2));
  EXPECT_EQ(file->Contents(), "ab");
  EXPECT_TRUE(file->Truncate(4));
  EXPECT_EQ(file->Contents(), std::string("ab\0\0", 4));
  EXPECT_EQ(FileTest::FailureCode(*file, file->LockShared(0, 1, false)), Code::kNotSupported);
}

TEST(MemoryFile, WritesStopAtTheLimitWithoutError) {
  auto file = Common::CreateMemoryFile(16);
  file->Seek(10);
  EXPECT_EQ(WriteText(*file, "0123456789"), 6u);
  EXPECT_FALSE(file->Failed());
  EXPECT_EQ(file->GetSize(), 16u);
  EXPECT_EQ(WriteText(*file, "more"), 0u);  // at the limit
  EXPECT_FALSE(file->Failed());
  file->Seek(40);
  EXPECT_EQ(WriteText(*file, "far"), 0u);
  EXPECT_EQ(file->GetSize(), 16u);
  EXPECT_FALSE(file->Truncate(17));
  EXPECT_EQ(file->GetError().Code(), Code::kFileWrite);
  EXPECT_STREQ(file->GetError().Function(), "Truncate");
  // Inert until the error is taken.
  file->Seek(0);
  EXPECT_EQ(ReadText(*file, 4), "");
  file->TakeError();
  file->Seek(10);
  EXPECT_EQ(ReadText(*file, 6), "012345");
}

TEST(MemoryFile, TheDefaultLimitIsOneGibibyte) {
  auto file = Common::CreateMemoryFile();
  EXPECT_EQ(FileTest::FailureCode(*file, file->Truncate(0x40000001)), Code::kFileWrite);
  file->Seek(0x40000000);
  EXPECT_EQ(WriteText(*file, "x"), 0u);  // nothing fits at the limit
  EXPECT_FALSE(file->Failed());
  EXPECT_EQ(file->GetSize(), 0u);
}

}  // namespace
