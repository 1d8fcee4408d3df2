// Positioned access: the same transfers whether the file takes "RDAT" and
// "WRAT" or is reached by Seek then Read or Write, and no trust in file
// layers that answer the requests wrongly.
#include "core/file/positioned_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/common/error.h"
#include "core/common/error_codes.h"
#include "core/file/file_testutil.h"
#include "core/file/memory_file.h"
#include "core/file/unix/posix_dir.h"

namespace {

using FileLayer::PositionedFile;
using FileTest::ScratchDir;

// A run of writes and reads at offsets; what each read saw.
std::string Exercise(rio_file& file, PositionedFile& at) {
  std::string seen;
  at.WriteAt(0, "header", 6);
  at.WriteAt(4096, "far", 3);  // past the end: a gap of zeros
  at.WriteAt(2, "AD", 2);
  char buffer[8];
  for (uint64_t offset : {uint64_t{0}, uint64_t{4094}, uint64_t{4099}, uint64_t{9000}}) {
    const size_t got = at.ReadAt(offset, buffer, sizeof buffer);
    seen += std::to_string(offset) + ":" + std::string(buffer, got) + ";";
  }
  seen += "size " + std::to_string(file.GetSize());
  return seen;
}

// A file that takes the requests and one that does not.
class PositionedFileTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::unique_ptr<rio_file> posix = posix_dir(scratch.path()).Open(u"f", O_RDWR | O_CREAT, false, 0600);
  std::unique_ptr<Common::MemoryFile> memory = Common::CreateMemoryFile();
};

TEST_F(PositionedFileTest, BothPathsTransferTheSameAndOnlyTheFallbackMovesThePosition) {
  ASSERT_TRUE(posix);
  PositionedFile direct(*posix);
  EXPECT_TRUE(direct.PositionedReads());
  EXPECT_TRUE(direct.PositionedWrites());
  PositionedFile fallback(*memory);
  EXPECT_FALSE(fallback.PositionedReads());
  EXPECT_FALSE(fallback.PositionedWrites());
  EXPECT_FALSE(memory->Failed());  // the not-supported answer was taken away

  const std::string expected = std::string("0:heADer\0\0;4094:\0\0far;4099:;9000:;size 4099", 43);
  EXPECT_EQ(Exercise(*posix, direct), expected);
  EXPECT_EQ(Exercise(*memory, fallback), expected);
  EXPECT_FALSE(posix->Failed());
  EXPECT_FALSE(memory->Failed());
  EXPECT_EQ(posix->SeekRelative(0), 0);
  EXPECT_EQ(memory->SeekRelative(0), 9000);  // where the last read went
}

TEST_F(PositionedFileTest, OffsetsBeyondAnySeekFailAlikeOnBothPaths) {
  ASSERT_TRUE(posix);
  for (rio_file* file : {static_cast<rio_file*>(posix.get()), static_cast<rio_file*>(memory.get())}) {
    PositionedFile at(*file);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(at.ReadAt(uint64_t{1} << 63, buffer, sizeof buffer), 0u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(file->GetError().Code(), Code::kFileSeek);
    // The failure sticks: nothing moves until it is taken.
    EXPECT_EQ(at.WriteAt(0, "data", 4), 0u);
    file->TakeError();
    EXPECT_EQ(file->GetSize(), 0u);
  }
}

// A file layer whose answers to the positioned requests are scripted; it
// reads and writes a string through the shared operations.
class ScriptedFile final : public rio_file {
 public:
  enum class answer { not_supported, without_count, over_count, failure };
  explicit ScriptedFile(answer how) : how_(how), bytes_("abcdefgh") {}

  void Read(void* buffer, size_t size, size_t& transferred) override {
    transferred = 0;
    if (Failed() || position_ >= bytes_.size()) return;
    transferred = std::min(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, transferred);
    position_ += transferred;
  }
  void Write(const void*, size_t, size_t& transferred) override { transferred = 0; }
  bool Truncate(uint64_t) override { return false; }
  int64_t Seek(int64_t offset) override {
    if (Failed()) return 0;
    position_ = static_cast<size_t>(offset);
    return offset;
  }
  int64_t SeekRelative(int64_t) override { return static_cast<int64_t>(position_); }
  int64_t SeekEnd(int64_t) override { return static_cast<int64_t>(bytes_.size()); }

  bool IOCTL(void* request) override {
    uint32_t command = 0;
    std::memcpy(&command, request, sizeof command);
    if (command != file_ioctl_code("RDAT") || how_ == answer::not_supported) return file_object::IOCTL(request);
    ++asked_;
    auto* r = static_cast<file_ioctl_read_at*>(request);
    if (how_ == answer::failure) {
      SetError(Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL")));
      return false;
    }
    if (how_ == answer::over_count) {
      if (r->size == 0) {
        r->transferred = 0;
      } else {
        std::memset(r->buffer, '*', r->size);
        r->transferred = r->size + 100;
      }
    }
    return true;  // without_count: claims success, fills in nothing
  }

  int asked_ = 0;

 private:
  answer how_;
  std::string bytes_;
  size_t position_ = 0;
};

TEST(PositionedFile, ForeignAnswersAreCheckedBeforeTheyAreTrusted) {
  using answer = ScriptedFile::answer;
  const struct {
    answer how;
    bool positioned;
    std::string read;  // at offset 2
    int asked;
    uint32_t code;
  } cases[] = {
      {answer::without_count, false, "cdef", 1, 0},      // success without the count set is no support
      {answer::over_count, true, "****", 2, 0},          // a count above the request is cut to it
      {answer::failure, false, "", 1, Code::kFileRead},  // any failure but not supported stays and stops the file
  };
  for (const auto& c : cases) {
    ScriptedFile file(c.how);
    PositionedFile at(file);
    EXPECT_EQ(at.PositionedReads(), c.positioned);
    char buffer[4] = {};
    EXPECT_EQ(std::string(buffer, at.ReadAt(2, buffer, 4)), c.read);
    EXPECT_EQ(file.asked_, c.asked);
    EXPECT_EQ(file.GetError().Code(), c.code);
  }
}

}  // namespace
