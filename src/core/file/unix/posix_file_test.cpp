// Files: reading and writing, the stored-error rule, the implicit lock and
// range locks between processes, the file-size limit, control requests.
#include "core/file/unix/posix_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>

#include "core/common/error_codes.h"
#include "core/file/file_testutil.h"
#include "core/file/unix/posix_dir.h"

namespace {

using namespace FileTest;

// A scratch directory and its directory object; "f" is the file under test.
class PosixFile : public ::testing::Test {
 protected:
  // Writes "f" and opens it without the implicit lock.
  std::unique_ptr<rio_file> OpenWith(const std::string &contents, int flags) {
    WriteWholeFile(scratch / "f", contents);
    return dir.Open(u"f", flags, true, 0);
  }
  // A child process that holds "f" open, then takes the range locks.
  std::unique_ptr<Child> Holder(int flags, bool noLock, std::function<bool(rio_file &)> locks = nullptr) {
    auto child = std::make_unique<Child>([=, this] {
      static std::unique_ptr<rio_file> held;  // kept open until the child exits
      held = dir.Open(u"f", flags, noLock, 0);
      return held && (!locks || locks(*held)) ? 0 : 1;
    });
    EXPECT_TRUE(child->Ready());
    return child;
  }
  ScratchDir scratch;
  posix_dir dir{scratch.path()};
};

TEST_F(PosixFile, ReadWriteSeekAndSize) {
  auto file = dir.Open(u"f", O_RDWR | O_CREAT, false, 0644);
  ASSERT_TRUE(file) << Common::DescribeErrorChain(dir.GetError());
  EXPECT_EQ(WriteText(*file, "hello world"), 11u);
  EXPECT_EQ(file->Seek(6), 6);
  // The size query leaves the position where it was.
  EXPECT_EQ(file->GetSize(), 11u);
  EXPECT_EQ(ReadText(*file, 100), "world");
  EXPECT_EQ(ReadText(*file, 10), "");  // at the end: 0 bytes, no error
  EXPECT_FALSE(file->Failed());
  EXPECT_EQ(file->SeekEnd(-5), 6);
  EXPECT_EQ(file->SeekRelative(-6), 0);
  EXPECT_TRUE(file->Truncate(5));
  EXPECT_EQ(file->GetSize(), 5u);
  EXPECT_TRUE(file->Rewind());
  EXPECT_EQ(ReadText(*file, 100), "hello");
  EXPECT_TRUE(file->Flush());
  // Range lock requests do nothing under the implicit lock.
  EXPECT_TRUE(file->LockShared(0, 10, false));
  EXPECT_TRUE(file->LockExclusive(0, 10, false));
  EXPECT_TRUE(file->Unlock(0, 10));
  EXPECT_FALSE(file->Failed());
}

TEST_F(PosixFile, EveryOperationIsInertAfterAFailureUntilTheErrorIsTaken) {
  auto file = OpenWith("0123456789", O_RDWR);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Seek(-1), 0);  // EINVAL
  ASSERT_TRUE(file->Failed());
  EXPECT_EQ(file->GetError().Code(), Code::kFileSeek);
  EXPECT_STREQ(file->GetError().Function(), "Seek");
  const Common::ErrorRecord *first = file->GetError().Record();

  char buffer[4] = {'x', 'x', 'x', 'x'};
  size_t moved = 99;
  file->Read(buffer, sizeof buffer, moved);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(buffer[0], 'x');
  file->Write("ABCD", 4, moved);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(file->Seek(3), 0);
  EXPECT_EQ(file->SeekEnd(0), 0);
  EXPECT_EQ(file->GetSize(), 0u);
  EXPECT_FALSE(file->Truncate(0));
  EXPECT_FALSE(file->Flush());
  EXPECT_FALSE(file->LockExclusive(0, 1, false));
  file_ioctl_append append;
  EXPECT_FALSE(file->IOCTL(&append));
  // Still the first error: nothing replaced it, nothing was changed.
  EXPECT_EQ(file->GetError().Record(), first);
  EXPECT_EQ(ReadWholeFile(scratch / "f"), "0123456789");

  EXPECT_EQ(file->TakeError().Code(), Code::kFileSeek);
  EXPECT_FALSE(file->Failed());
  EXPECT_EQ(file->Seek(2), 2);
  EXPECT_EQ(ReadText(*file, 3), "234");
}

TEST_F(PosixFile, OpenFailureCarriesCodePathAndErrno) {
  EXPECT_FALSE(dir.Open(u"missing", O_RDONLY, false, 0));
  const Common::Error &error = dir.GetError();
  EXPECT_EQ(error.Code(), Code::kFileNotFound);
  EXPECT_EQ(Common::FormatErrorMessage(error), u"The specified file does not exist.");
  EXPECT_STREQ(error.Function(), "Open");
  EXPECT_STREQ(error.Source(), "core/file/unix/posix_dir");
  ASSERT_TRUE(error.GetWide("path"));
  EXPECT_EQ(Narrow(error.GetWide("path")), scratch / "missing");
  EXPECT_EQ(error.Cause().Code(), Common::kPosixErrorCode);
  EXPECT_EQ(error.Cause().GetNumber("code"), static_cast<uint64_t>(ENOENT));
}

TEST_F(PosixFile, ImplicitLockKeepsAnotherProcessOutAndTheContentsUntouched) {
  WriteWholeFile(scratch / "f", "precious contents");
  auto holder = Holder(O_RDWR, false);
  for (int flags : {O_WRONLY | O_TRUNC, O_RDONLY}) {
    EXPECT_FALSE(dir.Open(u"f", flags, false, 0));
    const Common::Error error = dir.TakeError();
    EXPECT_EQ(error.Code(), Code::kAccessDenied);
    EXPECT_EQ(Common::FormatErrorMessage(error), u"Access to the file is denied.");
    EXPECT_EQ(error.Cause().Code(), Code::kFileLock);  // the lock error
  }
  EXPECT_EQ(ReadWholeFile(scratch / "f"), "precious contents");
  // Without the implicit lock the file opens.
  EXPECT_TRUE(dir.Open(u"f", O_RDONLY, true, 0));
  EXPECT_EQ(holder->Release(), 0);

  // Once the holder is gone the deferred truncation happens after locking.
  auto file = dir.Open(u"f", O_WRONLY | O_TRUNC, false, 0);
  ASSERT_TRUE(file) << Common::DescribeErrorChain(dir.GetError());
  EXPECT_EQ(ReadWholeFile(scratch / "f"), "");
}

TEST_F(PosixFile, ReadersShareTheImplicitLock) {
  WriteWholeFile(scratch / "f", "abc");
  auto reader = Holder(O_RDONLY, false);
  EXPECT_TRUE(dir.Open(u"f", O_RDONLY, false, 0));
  EXPECT_FALSE(dir.Open(u"f", O_RDWR, false, 0));
  EXPECT_EQ(reader->Release(), 0);
}

TEST_F(PosixFile, RangeLocksConflictOnlyWhereTheyOverlap) {
  auto file = OpenWith(std::string(1000, 'a'), O_RDWR);
  ASSERT_TRUE(file);
  auto holder = Holder(O_RDWR, true, [](rio_file &held) {
    return held.LockExclusive(0, 100, false) && held.LockShared(500, 100, false);
  });
  EXPECT_EQ(FailureCode(*file, file->LockExclusive(50, 10, false)), Code::kFileLock);
  EXPECT_EQ(FailureCode(*file, file->LockShared(99, 1, false)), Code::kFileLock);
  EXPECT_TRUE(file->LockShared(100, 100, false));  // adjacent, not overlapping
  EXPECT_TRUE(file->LockShared(550, 10, false));   // readers share
  EXPECT_EQ(FailureCode(*file, file->LockExclusive(550, 10, false)), Code::kFileLock);
  EXPECT_EQ(FailureCode(*file, file->LockExclusive(0, 0, false)),
            Code::kFileLock);  // to the end, overlaps both
  EXPECT_TRUE(file->Unlock(100, 100));
  EXPECT_EQ(holder->Release(), 0);
  // The holder's locks went with its descriptor.
  EXPECT_TRUE(file->LockExclusive(0, 0, false));
}

TEST_F(PosixFile, WritePastTheFileSizeLimitReturnsAShortCountWithoutError) {
  const int code = RunInChild([&] {
    const rlimit limit{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
    auto file = dir.Open(u"big", O_WRONLY | O_CREAT, false,
                         0600);  // SIGXFSZ is ignored from here on
    if (!file) return 11;
    const std::string block(8192, 'z');
    size_t written = 0;
    file->Write(block.data(), block.size(), written);
    if (written != 4096 || file->Failed()) return 12;
    // The next write is attempted normally and is short again.
    file->Write(block.data(), 1, written);
    return written != 0 || file->Failed() ? 13 : 0;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadWholeFile(scratch / "big").size(), 4096u);
}

// The data they move is checked against the fallback in positioned_io_test.
TEST_F(PosixFile, PositionedTransfersAnswerTheProbeAndStoreTheirFailures) {
  auto file = OpenWith("0123", O_RDONLY);
  ASSERT_TRUE(file);
  // Asking with size 0 moves nothing and answers with a count of 0.
  file_ioctl_read_at get;
  get.transferred = 7;
  ASSERT_TRUE(file->IOCTL(&get));
  EXPECT_EQ(get.transferred, 0u);

  // An offset no seek reaches fails, and the failure sticks.
  char buffer[4] = {};
  get.buffer = buffer;
  get.size = sizeof buffer;
  get.offset = ~uint64_t{0};
  EXPECT_FALSE(file->IOCTL(&get));
  EXPECT_EQ(file->GetError().Code(), Code::kFileRead);
  get.offset = 0;
  EXPECT_FALSE(file->IOCTL(&get));
  EXPECT_EQ(get.transferred, 0u);
  file->TakeError();

  // Writing a file opened for reading stores the write error.
  file_ioctl_write_at put;
  put.buffer = "abcd";
  put.size = 4;
  EXPECT_FALSE(file->IOCTL(&put));
  EXPECT_EQ(put.transferred, 0u);
  EXPECT_EQ(file->GetError().Code(), Code::kFileWrite);
  EXPECT_EQ(ReadWholeFile(scratch / "f"), "0123");
}

TEST_F(PosixFile, ControlRequests) {
  const std::string block(64 * 1024, 'q');
  auto file = OpenWith(block, O_RDWR);
  ASSERT_TRUE(file);

  // Appending: a write after seeking back still lands at the end.
  file_ioctl_append append;
  EXPECT_TRUE(file->IOCTL(&append));
  EXPECT_EQ(WriteText(*file, "END"), 3u);
  EXPECT_EQ(file->GetSize(), block.size() + 3);

  file_ioctl_times times;
  times.access_ms = 1000000000123;
  times.modification_ms = 1200000000456;
  EXPECT_TRUE(file->IOCTL(&times));
  struct stat st {};
  ASSERT_EQ(stat((scratch / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 456000000);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);

  // Pass-through: FIONREAD answers the bytes left to read.
  file->Seek(10);
  int pending = 0;
  file_ioctl_passthrough pass;
  pass.number = FIONREAD;
  pass.argument = &pending;
  EXPECT_TRUE(file->IOCTL(&pass));
  EXPECT_EQ(pass.result, 0);
  EXPECT_EQ(pending, static_cast<int>(block.size() + 3 - 10));

  file_ioctl_deallocate hole;
  hole.offset = 0;
  hole.length = 32 * 1024;
  const bool punched = file->IOCTL(&hole);
  if (punched) {
    EXPECT_EQ(file->GetSize(), block.size() + 3);  // the size is kept
    file->Seek(0);
    EXPECT_EQ(ReadText(*file, 4), std::string(4, '\0'));
  } else {
    EXPECT_EQ(file->TakeError().Code(),
              Code::kNotSupported);  // the file system cannot punch holes
  }

  // Physical location: data maps to a sector, the punched hole to none.
  file->Flush();
  file->Seek(40 * 1024 + 512);
  file_ioctl_sector sector;
  if (file->IOCTL(&sector)) {
    EXPECT_GE(sector.sector, 0);
    EXPECT_GE(sector.sector_count, 1u);
    EXPECT_LE(sector.sector_count, 128u);  // at most one 64 KiB block
    if (punched) {
      file->Seek(0);
      ASSERT_TRUE(file->IOCTL(&sector));
      EXPECT_EQ(sector.sector, -1);
    }
  } else {
    file->TakeError();  // no block mapping here (tmpfs, overlay, no privilege)
  }

  uint32_t unknown = file_ioctl_code("ZZZZ");
  EXPECT_FALSE(file->IOCTL(&unknown));
  EXPECT_EQ(file->GetError().Code(), Code::kNotSupported);
  EXPECT_STREQ(file->GetError().Function(), "IOCTL");
  EXPECT_STREQ(file->GetError().Source(), "core/common/file_object");
}

}  // namespace
