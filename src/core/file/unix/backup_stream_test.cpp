// "BKUP" and "RSTR": an entry restored from its backup stream is identical,
// and a damaged stream leaves what exists alone.
#include "core/file/unix/backup_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/common/error.h"
#include "core/file/file_testutil.h"
#include "core/file/memory_file.h"
#include "core/file/unix/posix_dir.h"

namespace {

using namespace FileTest;

std::map<std::string, std::string> ExtendedAttributes(const std::string& path) {
  std::map<std::string, std::string> result;
  std::vector<char> names(65536);
  const ssize_t length = llistxattr(path.c_str(), names.data(), names.size());
  for (ssize_t at = 0; at < length;) {
    const std::string name(names.data() + at);
    at += static_cast<ssize_t>(name.size()) + 1;
    std::vector<char> value(65536);
    const ssize_t size = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (size >= 0) result[name] = std::string(value.data(), static_cast<size_t>(size));
  }
  return result;
}

// user.* attributes where the file system has them, else trusted.* (root).
std::string AttributeNamespace(const std::string& probe) {
  for (const char* prefix : {"user.", "trusted."}) {
    const std::string name = std::string(prefix) + "probe";
    if (lsetxattr(probe.c_str(), name.c_str(), "1", 1, 0) == 0) {
      lremovexattr(probe.c_str(), name.c_str());
      return prefix;
    }
  }
  return {};
}

std::unique_ptr<Common::MemoryFile> Backup(posix_dir& dir, const char16_t* name) {
  auto stream = Common::CreateMemoryFile();
  dir_ioctl_backup request;
  request.name = name;
  request.stream = stream.get();
  EXPECT_TRUE(dir.IOCTL(&request)) << Common::DescribeErrorChain(dir.GetError());
  stream->Rewind();
  return stream;
}

bool Restore(posix_dir& dir, const char16_t* name, i_file* stream) {
  dir_ioctl_restore request;
  request.name = name;
  request.stream = stream;
  return dir.IOCTL(&request);
}

// What a restore must carry over from the entry's status.
auto Status(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return std::tuple(st.st_mode, st.st_uid, st.st_gid, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

// Builds streams item by item (the layout of backup_stream.h).
class StreamBuilder {
 public:
  StreamBuilder(uint32_t typeCode, uint32_t mode, uint64_t size) {
    Put32(file_ioctl_code("HVBK"));
    Put32(1);
    Put32(typeCode);
    Put32(0);
    std::string attr(64, '\0');
    for (int i = 0; i < 4; ++i) attr[i] = static_cast<char>(mode >> (8 * i));
    for (int i = 0; i < 8; ++i) attr[16 + i] = static_cast<char>(size >> (8 * i));
    Item("ATTR", attr);
  }
  StreamBuilder& Item(const char (&tag)[5], const std::string& payload) {
    Put32(file_ioctl_code(tag));
    Put32(0);
    for (int i = 0; i < 8; ++i) bytes_ += static_cast<char>(static_cast<uint64_t>(payload.size()) >> (8 * i));
    bytes_ += payload;
    return *this;
  }
  StreamBuilder& End() { return Item("END ", ""); }
  StreamBuilder& Xattr(const std::string& name, const std::string& value) {
    std::string payload(4, '\0');
    payload[0] = static_cast<char>(name.size());
    return Item("XATR", payload + name + value);
  }
  // Runs the checks over the stream; the error code, 0 for success.
  uint32_t Check() const { return FileLayer::CheckBackupStream(MemoryFileWith(bytes_).get()).Code(); }

 private:
  void Put32(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_ += static_cast<char>(value >> (8 * i));
  }
  std::string bytes_;
};

TEST(BackupStream, RegularFileRoundTripWithExtendedAttributes) {
  ScratchDir scratch;
  const std::string original = scratch / "disk.vhdx";
  std::string contents(3 * 1024 * 1024 + 17, '\0');  // several data items
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 131 + (i >> 12));
  WriteWholeFile(original, contents);
  const std::string prefix = AttributeNamespace(original);
  if (prefix.empty()) {
    GTEST_SKIP() << "no extended attributes on " << scratch.path();
  }
  const std::string bigValue(3000, 'v');  // one ext4 block holds at most ~4 KiB
  ASSERT_EQ(lsetxattr(original.c_str(), (prefix + "origin").c_str(), "backup test", 11, 0), 0);
  ASSERT_EQ(lsetxattr(original.c_str(), (prefix + "big").c_str(), bigValue.data(), bigValue.size(), 0), 0);
  ASSERT_EQ(lsetxattr(original.c_str(), (prefix + "empty").c_str(), "", 0, 0), 0);
  ASSERT_EQ(chmod(original.c_str(), 04751), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(lchown(original.c_str(), 1234, 5678), 0);
  }
  const timespec times[2] = {{1000000000, 111}, {1100000000, 222333444}};
  ASSERT_EQ(utimensat(AT_FDCWD, original.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  ASSERT_EQ(chmod(original.c_str(), 04751), 0);  // lchown cleared the set-id bit

  posix_dir dir(scratch.path());
  auto stream = Backup(dir, u"disk.vhdx");
  ASSERT_TRUE(Restore(dir, u"copy.vhdx", stream.get())) << Common::DescribeErrorChain(dir.GetError());

  const std::string copy = scratch / "copy.vhdx";
  // Reading either file moves its access time on, so look at the copy first
  // and compare with the time the original had when it was backed up.
  struct stat b {};
  ASSERT_EQ(lstat(copy.c_str(), &b), 0);
  EXPECT_EQ(ReadWholeFile(copy), contents);
  EXPECT_EQ(Status(copy), Status(original));
  EXPECT_EQ(b.st_atim.tv_sec, times[0].tv_sec);
  EXPECT_EQ(b.st_atim.tv_nsec, times[0].tv_nsec);
  EXPECT_EQ(ExtendedAttributes(copy), ExtendedAttributes(original));
  EXPECT_EQ(ExtendedAttributes(copy).at(prefix + "big"), bigValue);

  // Restoring over the original replaces it.
  WriteWholeFile(original, "changed");
  stream->Rewind();
  ASSERT_TRUE(Restore(dir, u"disk.vhdx", stream.get()));
  EXPECT_EQ(ReadWholeFile(original), contents);
}

TEST(BackupStream, DirectoriesSymbolicLinksAndFifos) {
  ScratchDir scratch;
  ASSERT_EQ(mkdir((scratch / "folder").c_str(), 0710), 0);
  ASSERT_EQ(symlink("some/target", (scratch / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0620), 0);
  const timespec times[2] = {{500, 0}, {600, 7}};
  for (const char* name : {"folder", "link", "fifo"})
    ASSERT_EQ(utimensat(AT_FDCWD, (scratch / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);

  posix_dir dir(scratch.path());
  for (const std::u16string name : {u"folder", u"link", u"fifo"}) {
    auto stream = Backup(dir, name.c_str());
    ASSERT_TRUE(Restore(dir, (name + u"2").c_str(), stream.get())) << Common::DescribeErrorChain(dir.GetError());
    const auto restored = Status(scratch / (Narrow(name) + "2"));
    EXPECT_EQ(restored, Status(scratch / Narrow(name)));
    EXPECT_EQ(std::get<3>(restored), 600);
    EXPECT_EQ(std::get<4>(restored), 7);
  }
  char target[64] = {};
  ASSERT_GT(readlink((scratch / "link2").c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "some/target");
}

TEST(BackupStream, ADamagedStreamLeavesTheTargetAlone) {
  ScratchDir scratch;
  WriteWholeFile(scratch / "source", std::string(5000, 's'));
  WriteWholeFile(scratch / "target", "keep me");
  posix_dir dir(scratch.path());
  auto stream = Backup(dir, u"source");
  const std::string bytes = stream->Contents();

  auto check = [&](const std::string& damaged) {
    EXPECT_EQ(FailureCode(dir, Restore(dir, u"target", MemoryFileWith(damaged).get())), Code::kFileRead);
    EXPECT_EQ(ReadWholeFile(scratch / "target"), "keep me");
  };
  check(bytes.substr(0, bytes.size() - 1));    // end marker cut short
  check(bytes.substr(0, bytes.size() - 100));  // contents missing
  std::string badMagic = bytes;
  badMagic[0] = 'X';
  check(badMagic);
  std::string hugeItem = bytes;
  hugeItem[16 + 16 + 64 + 15] = 0x7F;  // length of the first data item
  check(hugeItem);
  // No temporary entries are left behind.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(scratch.path())) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST(BackupStream, ItemsMustFitTheEntryType) {
  constexpr uint32_t kFile = 0, kFifo = 3, kLink = 5;
  const StreamBuilder file(kFile, S_IFREG | 0644, 3), fifo(kFifo, S_IFIFO | 0600, 0), link(kLink, S_IFLNK | 0777, 0);
  const std::pair<StreamBuilder, uint32_t> cases[] = {
      {StreamBuilder(file).Xattr("user.a", "1").Item("DATA", "abc").End(), 0u},
      {StreamBuilder(file).Item("DATA", "ab").End(), Code::kFileRead},
      {StreamBuilder(kFile, S_IFREG | 0644, 1).Item("DATA", "ab").End(), Code::kFileRead},
      {StreamBuilder(kFile, S_IFDIR | 0755, 0).End(), Code::kFileRead},  // type and mode differ
      {StreamBuilder(fifo).Item("DATA", "x").End(), Code::kFileRead},
      {StreamBuilder(fifo).Item("LINK", "x").End(), Code::kFileRead},
      {StreamBuilder(link).Item("LINK", "t").Xattr("user.a", "").End(), 0u},
      {StreamBuilder(link).Xattr("user.a", "").Item("LINK", "t").End(), Code::kFileRead},
      {StreamBuilder(link).Item("LINK", "t").Item("LINK", "u").End(), Code::kFileRead},
      {StreamBuilder(link).End(), Code::kFileRead},  // no target
      {StreamBuilder(fifo).Item("WHAT", "x").End(), Code::kFileRead},
      {StreamBuilder(fifo).Item("END ", "x"), Code::kFileRead},
      {fifo, Code::kFileRead},  // no end
      {StreamBuilder(fifo).Item("XATR", "ab").End(), Code::kFileRead},
      {StreamBuilder(fifo).Item("XATR", std::string("\x05\0\0\0ab", 6)).End(),
       Code::kFileRead},  // name longer than the item
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first.Check(), cases[i].second) << "case " << i;
}

TEST(BackupStream, SocketsAndMissingEntriesAreRefused) {
  ScratchDir scratch;
  const std::string socketPath = scratch / "sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  posix_dir dir(scratch.path());
  auto stream = Common::CreateMemoryFile();
  dir_ioctl_backup request;
  request.name = u"sock";
  request.stream = stream.get();
  EXPECT_EQ(FailureCode(dir, dir.IOCTL(&request)), Code::kNotSupported);
  request.name = u"missing";
  EXPECT_EQ(FailureCode(dir, dir.IOCTL(&request)), Code::kFileNotFound);
  EXPECT_EQ(stream->GetSize(), 0u);
  close(fd);
}

}  // namespace
