// The plug-in against a host file layer that shares no class with it: the
// slots it calls, the error records it receives, and files, listings and
// VHDX disks reached through the host's root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "contract_root.h"
#include "core/common/error.h"
#include "core/fdisk/virtual/virtual_disks.h"
#include "core/file/dir_access.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_file.h"

namespace {

namespace fs = std::filesystem;

// The vtable slot a call through this member pointer uses: the Itanium ABI
// stores 1 + the slot's byte offset in a pointer to a virtual member.
template <class Member>
size_t Slot(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(void*));
  uintptr_t words[2];
  std::memcpy(words, &member, sizeof words);
  return (words[0] - 1) / sizeof(void*);
}

// Each interface's operations in the order the agent's tables hold them;
// gaps are destructor pairs (and, for derived interfaces, the slots they
// inherit from their primary base).
TEST(FileContract, FileInterfacesUseTheAgentsSlots) {
  EXPECT_EQ(Slot(&file_object::IOCTL), 2u);  // after the destructor pair
  EXPECT_EQ(Slot(&i_file::Read), 0u);        // destructor pair follows
  EXPECT_EQ(Slot(&o_file::Write), 0u);
  EXPECT_EQ(Slot(&o_file::Flush), 1u);  // destructor pair follows
  EXPECT_EQ(Slot(&sized_file::Rewind), 0u);
  EXPECT_EQ(Slot(&sized_file::GetSize), 1u);  // destructor pair follows
  // raccess_file extends sized_file's table; its destructor pair takes the
  // inherited one at 2 and 3, and the seeks follow.
  EXPECT_EQ(Slot(&raccess_file::Seek), 4u);
  EXPECT_EQ(Slot(&raccess_file::SeekRelative), 5u);
  EXPECT_EQ(Slot(&raccess_file::SeekEnd), 6u);
  EXPECT_EQ(Slot(&raccess_file::Unlock), 7u);
  EXPECT_EQ(Slot(&ri_file::LockShared), 3u);  // after i_file's three
  EXPECT_EQ(Slot(&ro_file::Truncate), 4u);    // after o_file's four
  EXPECT_EQ(Slot(&ro_file::LockExclusive), 5u);
}

TEST(FileContract, DirectoryInterfacesUseTheAgentsSlots) {
  using Iterator = i_dir::iterator;
  using List = std::unique_ptr<Iterator> (i_dir::*)();
  using Match = std::unique_ptr<Iterator> (i_dir::*)(const std::u16string&);
  using MatchTypes = std::unique_ptr<Iterator> (i_dir::*)(const std::u16string&, uint32_t);
  EXPECT_EQ(Slot(&Iterator::Next), 2u);  // after the destructor pair
  EXPECT_EQ(Slot(&Iterator::GetName), 3u);
  EXPECT_EQ(Slot(&Iterator::GetType), 4u);
  EXPECT_EQ(Slot(&Iterator::GetAttributes), 5u);
  EXPECT_EQ(Slot(&Iterator::GetTimes), 6u);

  const std::vector<size_t> queries = {Slot(static_cast<List>(&i_dir::GetIterator)),
                                       Slot(static_cast<Match>(&i_dir::GetIterator)),
                                       Slot(static_cast<MatchTypes>(&i_dir::GetIterator)),
                                       Slot(&i_dir::GetSelfIterator),
                                       Slot(&i_dir::GetPath),
                                       Slot(&i_dir::ResolveSymLinks),
                                       Slot(&i_dir::GetDriveSize),
                                       Slot(&i_dir::GetVolumeLabel),
                                       Slot(&i_dir::EnableNotification),
                                       Slot(&i_dir::Compare)};
  for (size_t i = 0; i < queries.size(); ++i) EXPECT_EQ(queries[i], i) << "query " << i;
  // ri_dir follows i_dir's ten queries and its destructor pair.
  EXPECT_EQ(Slot(&ri_dir::Open), 12u);
  EXPECT_EQ(Slot(&ri_dir::OpenSpecialDir), 13u);

  const std::vector<size_t> changes = {
      Slot(&o_dir::Remove),           Slot(&o_dir::Rename),         Slot(&o_dir::CreateDir),
      Slot(&o_dir::RemoveDir),        Slot(&o_dir::CreateSymLink),  Slot(&o_dir::CreateHardLink),
      Slot(&o_dir::CreateDeviceNode), Slot(&o_dir::SetUnixOwner),   Slot(&o_dir::SetUnixPermissions),
      Slot(&o_dir::SetDOSAttributes), Slot(&o_dir::SetAccessRights)};
  for (size_t i = 0; i < changes.size(); ++i) EXPECT_EQ(changes[i], i) << "change " << i;
}

class HostRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hvcontractXXXXXX";
    path_ = ::mkdtemp(pattern);
    root_ = ContractCreateRoot(path_.c_str());
  }
  void TearDown() override { fs::remove_all(path_); }

  ContractCounters& Counters() { return ContractGetCounters(); }

  std::string path_;
  std::shared_ptr<rio_dir> root_;
};

TEST_F(HostRootTest, DocumentsTravelThroughHostFiles) {
  auto root = std::make_unique<Xml::Tag>();
  root->Name = "preferences";
  root->Text = u"text ";
  Xml::AppendChild(*root, std::make_unique<Xml::Tag>("hardware"))->Text = u"inner";
  for (unsigned flags : {0u, unsigned(Xml::kWriteBinary)}) {
    const uint64_t writes = Counters().writes, reads = Counters().reads;
    {
      std::unique_ptr<rio_file> file = root_->Open(u"machine.vmc", O_RDWR | O_CREAT | O_TRUNC, false, 0644);
      ASSERT_TRUE(file) << Common::DescribeErrorChain(root_->TakeError());
      Xml::WriteDocument(*root, *file, flags);
    }
    std::unique_ptr<rio_file> file = root_->Open(u"machine.vmc", O_RDONLY, false, 0);
    ASSERT_TRUE(file);
    Xml::ReadPosition where;
    std::unique_ptr<Xml::Tag> back = Xml::LoadDocument(*file, where);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Name, "preferences");
    ASSERT_EQ(back->Children.size(), 1u);
    EXPECT_EQ(back->Children[0]->Name, "hardware");
    EXPECT_EQ(back->Children[0]->Text, u"inner");
    EXPECT_GT(Counters().writes, writes);
    EXPECT_GT(Counters().reads, reads);
  }
}

TEST_F(HostRootTest, HostErrorRecordsSurviveThePluginsWrapping) {
  std::shared_ptr<VirtualMachineDiskEx> disk;
  const Common::Error error = VirtualDisks::OpenVhdxDisk(root_, u"missing.vhdx", 3, disk);
  ASSERT_TRUE(error);
  EXPECT_FALSE(disk);
  // The plug-in's own error wraps the host's record, which keeps its kind.
  Common::Error host = error;
  while (host && host.Code() != Code::kFileOpen) host = host.Cause();
  ASSERT_TRUE(host) << Common::DescribeErrorChain(error);
  EXPECT_EQ(host.Message(), u"The host could not open the file.");
  EXPECT_STREQ(host.GetNarrow("$module"), "hvcontract");
  EXPECT_EQ(std::u16string(host.GetWide("path")), Common::Utf8ToUtf16(path_ + "/missing.vhdx"));
  EXPECT_EQ(host.GetNumber("errno"), uint64_t(ENOENT));
  EXPECT_FALSE(root_->Failed());  // taken by the plug-in
}

TEST_F(HostRootTest, VhdxDisksAreCreatedWrittenReadAndSharedThroughTheRoot) {
  const uint64_t opens = Counters().opens, writes = Counters().writes;
  constexpr uint64_t kSectors = 8 * 2048;  // 8 MiB
  ASSERT_FALSE(VirtualDisks::CreateVhdxDisk(*root_, u"disk.vhdx", kSectors, false));
  EXPECT_GT(Counters().writes, writes);  // the new file was laid out through the host's file
  // Creating over an existing file is refused by the host's own open.
  EXPECT_TRUE(VirtualDisks::CreateVhdxDisk(*root_, u"disk.vhdx", kSectors, false));
  EXPECT_TRUE(fs::exists(path_ + "/disk.vhdx"));

  std::shared_ptr<VirtualMachineDiskEx> disk;
  Common::Error error = VirtualDisks::OpenVhdxDisk(root_, u"disk.vhdx", 3, disk);
  ASSERT_FALSE(error) << Common::DescribeErrorChain(error);
  EXPECT_EQ(disk->GetSectorCount(), kSectors);
  std::vector<uint8_t> written(4 * 512);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, written.data(), kSectors - 4, 4));

  // A second opening of the same file shares the disk: the registry tells the
  // two apart only through the host's comparison and listing.
  std::shared_ptr<VirtualMachineDiskEx> again;
  error = VirtualDisks::OpenVhdxDisk(ContractCreateRoot(path_.c_str()), u"./disk.vhdx", 3, again);
  ASSERT_FALSE(error) << Common::DescribeErrorChain(error);
  std::vector<uint8_t> read(written.size());
  ASSERT_FALSE(again->IO(Fdisk::kIoRead, read.data(), kSectors - 4, 4));
  EXPECT_EQ(read, written);
  std::vector<Fdisk::SectorRange> changed;
  ASSERT_FALSE(again->GetChangedSectors(u"*", {0, kSectors}, changed));
  ASSERT_FALSE(changed.empty());
  EXPECT_LE(changed.back().start, kSectors - 4);
  EXPECT_GE(Counters().opens - opens, 3u);
}

// The plug-in's subdirectories and identifiers over a host root that offers
// the optional requests, and over one that knows the shared operations alone.
class HostRootModes : public HostRootTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    HostRootTest::SetUp();
    root_ = ContractCreateRoot(path_.c_str(), GetParam());
  }
};

TEST_P(HostRootModes, SubdirectoriesListOpenAndCompare) {
  const uint64_t extras = Counters().extras;
  ASSERT_TRUE(root_->CreateDir(u"sub", nullptr));
  ASSERT_TRUE(root_->CreateDir(u"sub/deeper [1]", nullptr));
  { ASSERT_TRUE(root_->Open(u"sub/a.vhdx", O_RDWR | O_CREAT, false, 0644)); }
  { ASSERT_TRUE(root_->Open(u"sub/b.vmc", O_RDWR | O_CREAT, false, 0644)); }
  std::unique_ptr<rio_dir> sub = FileLayer::OpenDir(root_, u"sub");
  ASSERT_TRUE(sub) << Common::DescribeErrorChain(root_->TakeError());
  std::unique_ptr<i_dir::iterator> it = sub->GetIterator(u"*.vhdx");
  ASSERT_TRUE(it);
  EXPECT_EQ(it->GetName(), u"a.vhdx");
  EXPECT_FALSE(it->Next());
  EXPECT_EQ(it->TakeError().Code(), Code::kEndOfFile);
  std::u16string path;
  ASSERT_TRUE(sub->GetPath(path));
  EXPECT_EQ(path, Common::Utf8ToUtf16(path_ + "/sub"));
  EXPECT_EQ(root_->Compare(sub.get()), 1);
  EXPECT_EQ(sub->Compare(root_.get()), 2);

  // A subdirectory of a subdirectory, named with wildcard characters, opens
  // files and creates entries where it lies, and outlives its parent.
  std::unique_ptr<rio_dir> deeper = FileLayer::OpenDir(*sub, u"deeper [1]");
  ASSERT_TRUE(deeper) << Common::DescribeErrorChain(sub->TakeError());
  sub.reset();
  { ASSERT_TRUE(deeper->Open(u"c.vmc", O_RDWR | O_CREAT, false, 0644)); }
  ASSERT_TRUE(deeper->CreateDir(u"e", nullptr));
  EXPECT_TRUE(fs::exists(path_ + "/sub/deeper [1]/c.vmc"));
  EXPECT_TRUE(fs::is_directory(path_ + "/sub/deeper [1]/e"));
  std::unique_ptr<i_dir::iterator> self = deeper->GetSelfIterator();
  ASSERT_TRUE(self);
  EXPECT_FALSE(self->Failed());
  EXPECT_EQ(self->GetType(), entry_type::directory);
  EXPECT_EQ(FileLayer::IdentifierOf(*self).GetData().size(), 16u);
  ASSERT_TRUE(deeper->GetPath(path));
  EXPECT_EQ(path, Common::Utf8ToUtf16(path_ + "/sub/deeper [1]"));

  // Missing entries and files are no directories; the error is the base's.
  EXPECT_FALSE(FileLayer::OpenDir(root_, u"sub/a.vhdx"));
  EXPECT_EQ(root_->TakeError().Code(), Code::kFileOpen);
  EXPECT_FALSE(FileLayer::OpenDir(root_, u"none"));
  EXPECT_EQ(root_->TakeError().Code(), Code::kFileOpen);
  EXPECT_FALSE(root_->Failed());
  EXPECT_EQ(Counters().extras > extras, GetParam());
}

TEST_P(HostRootModes, IdentifiersTellLinksOfOneFileFromOtherFiles) {
  { ASSERT_TRUE(root_->Open(u"a.vhdx", O_RDWR | O_CREAT, false, 0644)); }
  { ASSERT_TRUE(root_->Open(u"b.vhdx", O_RDWR | O_CREAT, false, 0644)); }
  ASSERT_TRUE(root_->CreateHardLink(u"link.vhdx", u"a.vhdx"));
  const auto identify = [&](const std::u16string& name) {
    std::unique_ptr<i_dir::iterator> entry = root_->GetIterator(name);
    EXPECT_TRUE(entry && !entry->Failed());
    const the_identifier identifier = FileLayer::IdentifierOf(*entry);
    EXPECT_FALSE(entry->Failed());
    EXPECT_EQ(identifier.GetName(), name);
    return identifier.GetData();
  };
  EXPECT_EQ(identify(u"a.vhdx").size(), 16u);
  EXPECT_EQ(identify(u"a.vhdx"), identify(u"link.vhdx"));
  EXPECT_NE(identify(u"a.vhdx"), identify(u"b.vhdx"));

  // The disk registry shares one opened disk between two names of a file
  // (handles answer with the shared disk's own geometry), not with another file.
  ASSERT_FALSE(VirtualDisks::CreateVhdxDisk(*root_, u"disk.vhdx", 2048, false));
  ASSERT_FALSE(VirtualDisks::CreateVhdxDisk(*root_, u"other.vhdx", 2048, false));
  ASSERT_TRUE(root_->CreateHardLink(u"same.vhdx", u"disk.vhdx"));
  std::shared_ptr<VirtualMachineDiskEx> one, two, other;
  ASSERT_FALSE(VirtualDisks::OpenVhdxDisk(root_, u"disk.vhdx", 3, one));
  ASSERT_FALSE(VirtualDisks::OpenVhdxDisk(root_, u"same.vhdx", 3, two));
  ASSERT_FALSE(VirtualDisks::OpenVhdxDisk(root_, u"other.vhdx", 3, other));
  EXPECT_EQ(&one->GetGeometry(), &two->GetGeometry());
  EXPECT_NE(&one->GetGeometry(), &other->GetGeometry());
}

INSTANTIATE_TEST_SUITE_P(Extras, HostRootModes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Offered" : "SharedOperationsOnly"; });

}  // namespace
