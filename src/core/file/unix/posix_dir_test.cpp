// Directories: entry operations and their errors, listing, special
// directories, drive size, comparison and directory control requests.
#include "core/file/unix/posix_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

#include "core/common/error.h"
#include "core/file/dir_access.h"
#include "core/file/file_testutil.h"
#include "core/file/unix/file_name.h"

namespace {

using namespace FileTest;
using Entries = std::map<std::u16string, entry_type>;

Entries List(i_dir::iterator *it) {
  Entries entries;
  if (!it) return entries;
  while (!it->Failed()) {
    entries[it->GetName()] = it->GetType();
    it->Next();
  }
  return entries;
}

// A scratch directory and its directory object.
class PosixDir : public ::testing::Test {
 protected:
  ScratchDir scratch;
  posix_dir dir{scratch.path()};
};

TEST_F(PosixDir, EntryOperationsAndTheirErrors) {
  EXPECT_TRUE(dir.CreateDir(u"vm", nullptr));
  struct stat st {};
  ASSERT_EQ(stat((scratch / "vm").c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);

  EXPECT_EQ(FailureCode(dir, dir.CreateDir(u"vm", nullptr)),
            Code::kFileExists);  // already exists

  WriteWholeFile(scratch / "vm/a.vmc", "x");
  EXPECT_TRUE(dir.Rename(u"vm/a.vmc", u"vm/b.vmc"));
  EXPECT_FALSE(dir.Rename(u"vm/a.vmc", u"vm/c.vmc"));
  Common::Error error = dir.TakeError();
  EXPECT_EQ(error.Code(), Code::kFileNotFound);
  EXPECT_STREQ(error.Function(), "Rename");
  EXPECT_EQ(Narrow(error.GetWide("path1")), scratch / "vm/a.vmc");
  EXPECT_EQ(Narrow(error.GetWide("path2")), scratch / "vm/c.vmc");

  EXPECT_TRUE(dir.CreateSymLink(u"vm/link", u"b.vmc"));
  EXPECT_TRUE(dir.CreateHardLink(u"vm/hard", u"vm/b.vmc"));
  ASSERT_EQ(stat((scratch / "vm/hard").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  std::u16string resolved;
  EXPECT_TRUE(dir.ResolveSymLinks(u"vm/link", resolved));
  char *real = realpath((scratch / "vm/b.vmc").c_str(), nullptr);
  EXPECT_EQ(Narrow(resolved), real);
  std::free(real);

  EXPECT_EQ(FailureCode(dir, dir.RemoveDir(u"vm")),
            Code::kFileDelete);  // not empty: the operation's own code
  EXPECT_TRUE(dir.SetUnixPermissions(u"vm/b.vmc", 0600));
  ASSERT_EQ(stat((scratch / "vm/b.vmc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(dir.SetUnixOwner(u"vm/b.vmc", getuid(), getgid()));
  EXPECT_EQ(FailureCode(dir, dir.SetUnixPermissions(u"vm/none", 0600)), Code::kFileNotFound);
  EXPECT_EQ(FailureCode(dir, dir.SetDOSAttributes(u"vm/b.vmc", 1)), Code::kNotSupported);

  for (const char16_t *name : {u"vm/b.vmc", u"vm/hard", u"vm/link"}) EXPECT_TRUE(dir.Remove(name));
  EXPECT_TRUE(dir.RemoveDir(u"vm"));
  EXPECT_EQ(FailureCode(dir, dir.Remove(u"vm")), Code::kFileNotFound);
}

TEST_F(PosixDir, AFailedDirectoryDoesNothingUntilTheErrorIsTaken) {
  EXPECT_FALSE(dir.Remove(u"missing"));
  EXPECT_FALSE(dir.CreateDir(u"made", nullptr));
  EXPECT_FALSE(dir.Open(u"new", O_RDWR | O_CREAT, false, 0600));
  EXPECT_FALSE(dir.GetIterator());
  std::u16string path;
  EXPECT_FALSE(dir.GetPath(path));
  EXPECT_EQ(access((scratch / "made").c_str(), F_OK), -1);
  EXPECT_EQ(access((scratch / "new").c_str(), F_OK), -1);
  EXPECT_EQ(dir.TakeError().Code(),
            Code::kFileNotFound);  // still the first failure
  EXPECT_TRUE(dir.CreateDir(u"made", nullptr));
}

TEST_F(PosixDir, NamesJoinRelativeToTheDirectory) {
  const char *cases[][3] = {{"/a/b", "c", "/a/b/c"}, {"/a/b", "../c", "/a/c"}, {"/a/b", "./c//d/", "/a/b/c/d"},
                            {"/a", "../../..", "/"}, {"/a/b", "/x/y", "/x/y"}, {"/", "x", "/x"},
                            {"", "x", "x"}};
  for (const auto &[base, name, joined] : cases) EXPECT_EQ(FileLayer::JoinPath(base, name), joined) << name;

  WriteWholeFile(scratch / "top", "top file");
  ASSERT_EQ(mkdir((scratch / "sub").c_str(), 0755), 0);
  posix_dir sub(scratch / "sub");
  auto file = sub.Open(u"../top", O_RDONLY, false, 0);
  ASSERT_TRUE(file);
  posix_dir root("/");
  EXPECT_TRUE(root.Open(FileLayer::FileNameFromSystem(scratch / "top"), O_RDONLY, false, 0));
  // A name cut short by a NUL must not reach the file its prefix names.
  std::u16string cut = FileLayer::FileNameFromSystem(scratch / "top");
  cut += u'\0';
  cut += u"ignored";
  EXPECT_EQ(FailureCode(root, root.Open(cut, O_RDONLY, false, 0)), Code::kFileNotFound);
  EXPECT_EQ(FailureCode(root, root.Remove(cut)), Code::kFileNotFound);
  EXPECT_EQ(ReadWholeFile(scratch / "top"), "top file");
}

TEST_F(PosixDir, ListingSkipsDotEntriesAndReportsTypes) {
  WriteWholeFile(scratch / "disk.vhdx", "d");
  WriteWholeFile(scratch / "config.vmc", "c");
  ASSERT_EQ(mkdir((scratch / "folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink("disk.vhdx", (scratch / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((scratch / "pipe").c_str(), 0600), 0);

  auto all = dir.GetIterator();
  ASSERT_TRUE(all);
  EXPECT_EQ(List(all.get()), (Entries{{u"disk.vhdx", entry_type::file},
                                      {u"config.vmc", entry_type::file},
                                      {u"folder", entry_type::directory},
                                      {u"link", entry_type::symlink},
                                      {u"pipe", entry_type::fifo}}));
  EXPECT_EQ(all->GetError().Code(), Code::kEndOfFile);
  EXPECT_EQ(List(dir.GetIterator(u"*.vhdx").get()), (Entries{{u"disk.vhdx", entry_type::file}}));
  EXPECT_EQ(List(dir.GetIterator(u"*", i_dir::type_bit(entry_type::directory)).get()),
            (Entries{{u"folder", entry_type::directory}}));

  // A plain name looks the one entry up.
  auto one = dir.GetIterator(u"config.vmc");
  ASSERT_TRUE(one);
  ASSERT_FALSE(one->Failed());
  file_attributes attributes;
  EXPECT_TRUE(one->GetAttributes(attributes));
  EXPECT_EQ(attributes.size, 1u);
  EXPECT_TRUE(S_ISREG(attributes.mode));
  file_times times;
  EXPECT_TRUE(one->GetTimes(times));
  EXPECT_GT(times.modification, 0);
  // Identified by device and inode, whether the iterator answers the request
  // or the attributes are asked.
  const the_identifier identifier = FileLayer::IdentifierOf(*one);
  ASSERT_EQ(identifier.GetData().size(), 16u);
  EXPECT_EQ(identifier.GetName(), u"config.vmc");
  uint64_t inode = 0;
  for (int i = 7; i >= 0; --i) inode = inode << 8 | identifier.GetData()[8 + i];
  EXPECT_EQ(inode, attributes.inode);
  EXPECT_FALSE(one->Next());
  EXPECT_EQ(one->GetError().Code(), Code::kEndOfFile);

  auto none = dir.GetIterator(u"absent.vmc");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->GetError().Code(), Code::kEndOfFile);
  EXPECT_FALSE(dir.Failed());

  auto self = dir.GetSelfIterator();
  ASSERT_TRUE(self);
  EXPECT_EQ(self->GetType(), entry_type::directory);
  EXPECT_EQ(Narrow(self->GetName()), std::string(FileLayer::LastComponent(scratch.path())));
}

TEST_F(PosixDir, AnEmptyDirectoryEndsAtOnceAndAMissingOneFails) {
  auto it = dir.GetIterator();
  ASSERT_TRUE(it);
  EXPECT_TRUE(it->Failed());
  EXPECT_EQ(it->GetError().Code(), Code::kEndOfFile);
  EXPECT_EQ(it->GetName(), u"");
  EXPECT_FALSE(it->Next());

  posix_dir missing(scratch / "gone");
  EXPECT_FALSE(missing.GetIterator());
  EXPECT_STREQ(missing.GetError().Function(), "GetIterator");
  EXPECT_EQ(missing.TakeError().Code(), Code::kFileNotFound);
  uint64_t total = 1, free = 1, available = 1;
  EXPECT_EQ(FailureCode(missing, missing.GetDriveSize(total, free, available)), Code::kFileNotFound);
  EXPECT_EQ(total + free + available, 0u);  // ENOENT wins over the read code
}

TEST_F(PosixDir, OpenDirChecksTheEntry) {
  WriteWholeFile(scratch / "file", "x");
  ASSERT_EQ(mkdir((scratch / "sub").c_str(), 0755), 0);
  auto sub = dir.OpenDir(u"sub");
  ASSERT_TRUE(sub);
  EXPECT_EQ(Narrow(PathOf(*sub)), scratch / "sub");
  EXPECT_EQ(FailureCode(dir, dir.OpenDir(u"file")), Code::kFileOpen);
  EXPECT_EQ(FailureCode(dir, dir.OpenDir(u"none")), Code::kFileNotFound);

  // The same through the control request, and a listing by a pattern with a
  // path.
  WriteWholeFile(scratch / "sub/a.vhdx", "x");
  WriteWholeFile(scratch / "sub/b.vmc", "x");
  dir_ioctl_open_dir request;
  request.name = u"sub";
  ASSERT_TRUE(dir.IOCTL(&request));
  ASSERT_TRUE(request.dir);
  EXPECT_EQ(Narrow(PathOf(*request.dir)), scratch / "sub");
  auto listed = dir.GetIterator(u"sub/*.vhdx");
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->GetName(), u"a.vhdx");
  EXPECT_FALSE(listed->Next());
  EXPECT_EQ(FailureCode(dir, dir.GetIterator(u"file/*")),
            Code::kFileOpen);  // not a directory
}

TEST_F(PosixDir, SpecialDirectories) {
  struct SavedHome {  // restored when the test ends
    const char *set = std::getenv("HOME");
    std::string value = set ? set : "";
    ~SavedHome() { set ? setenv("HOME", value.c_str(), 1) : unsetenv("HOME"); }
  } saved;

  unsetenv("HOME");
  EXPECT_EQ(FailureCode(dir, dir.OpenSpecialDir(144)), Code::kFileOpen);
  setenv("HOME", "relative/home", 1);
  EXPECT_EQ(FailureCode(dir, dir.OpenSpecialDir(145)), Code::kFileOpen);
  setenv("HOME", "/home/someone", 1);
  const std::pair<uint32_t, std::u16string> cases[] = {
      {144, u"/home/someone"}, {143, u"/var/lib"}, {149, u"/tmp"}, {156, u"/var/log"}};
  for (const auto &[id, expected] : cases) {
    auto special = dir.OpenSpecialDir(id);
    EXPECT_EQ(special ? PathOf(*special) : u"", expected) << id;
  }
  EXPECT_FALSE(dir.OpenSpecialDir(150));
  EXPECT_EQ(dir.GetError().Code(), Code::kNotSupported);
  EXPECT_STREQ(dir.GetError().Function(), "OpenSpecialDir");
}

TEST_F(PosixDir, DriveSize) {
  uint64_t total = 0, free = 0, available = 0;
  EXPECT_TRUE(dir.GetDriveSize(total, free, available));
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
  EXPECT_LE(available, free);
}

TEST_F(PosixDir, Comparison) {
  posix_dir a("/srv/vm"), same("/srv/vm"), below("/srv/vm/disks"), sibling("/srv/vmx"), root("/");
  const struct {
    posix_dir *left, *right;
    int expected;
  } cases[] = {{&a, &a, 0},       {&a, &same, 0}, {&a, &below, 1}, {&below, &a, 2},
               {&a, &sibling, 2}, {&root, &a, 1}, {&a, nullptr, 2}};
  for (const auto &c : cases) EXPECT_EQ(c.left->Compare(c.right), c.expected) << &c - cases;
}

TEST_F(PosixDir, FileSystemTypeAndNearestExistingAncestor) {
  EXPECT_STREQ(FileLayer::FileSystemTypeName(0xEF53), "ext2");
  EXPECT_STREQ(FileLayer::FileSystemTypeName(0x58465342), "xfs");
  EXPECT_STREQ(FileLayer::FileSystemTypeName(0x12345678), "");
  dir_ioctl_fs_type type;
  ASSERT_TRUE(dir.IOCTL(&type));
  struct statfs info {};
  ASSERT_EQ(statfs(scratch.path().c_str(), &info), 0);
  std::string upper = FileLayer::FileSystemTypeName(static_cast<uint64_t>(info.f_type));
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_EQ(Narrow(type.type), upper);

  posix_dir deep(scratch / "a/b/c");
  dir_ioctl_existing_ancestor ancestor;
  ASSERT_TRUE(deep.IOCTL(&ancestor));
  EXPECT_EQ(Narrow(ancestor.path), scratch.path());
  EXPECT_FALSE(ancestor.is_self);
  dir_ioctl_existing_ancestor self;
  ASSERT_TRUE(dir.IOCTL(&self));
  EXPECT_TRUE(self.is_self);

  WriteWholeFile(scratch / "f", "x");
  dir_ioctl_times times;
  times.name = u"f";
  times.access_ms = 86400000;
  times.modification_ms = 2 * 86400000 + 5;
  ASSERT_TRUE(dir.IOCTL(&times));
  struct stat st {};
  ASSERT_EQ(stat((scratch / "f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 2 * 86400);
  EXPECT_EQ(st.st_mtim.tv_nsec, 5000000);

  dir_ioctl_credentials credentials;
  EXPECT_FALSE(dir.IOCTL(&credentials));
  EXPECT_EQ(dir.GetError().Code(), Code::kNotSupported);
  EXPECT_STREQ(dir.GetError().Function(), "IOCTL");
}

TEST_F(PosixDir, ByteNamesSurviveARoundTripUnderUtf8) {
  FileLayer::UseFileNameConverter("UTF-8");
  EXPECT_EQ(FileLayer::FileNameToSystem(u"\uF8E9x"), "\xE9x");
  EXPECT_EQ(FileLayer::FileNameFromSystem("\xE9x"), u"\uF8E9x");
  EXPECT_EQ(FileLayer::FileNameFromSystem("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(FileLayer::FileNameToSystem(u"caf\u00E9"), "caf\xC3\xA9");
  // Every single byte comes back as itself.
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const std::string name = std::string("n") + static_cast<char>(byte) + "\xC3\xA9";
    EXPECT_EQ(FileLayer::FileNameToSystem(FileLayer::FileNameFromSystem(name)), name) << byte;
  }

  WriteWholeFile(scratch / "\xE9", "latin-1 name");
  auto it = dir.GetIterator();
  ASSERT_TRUE(it);
  ASSERT_FALSE(it->Failed());
  EXPECT_EQ(it->GetName(), u"\uF8E9");
  auto file = dir.Open(it->GetName(), O_RDONLY, false, 0);
  ASSERT_TRUE(file) << Common::DescribeErrorChain(dir.GetError());
  EXPECT_EQ(ReadText(*file, 32), "latin-1 name");
}

}  // namespace
