#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/server/file_utils.h"
#include "common/server/server_testutil.h"
#include "common/server/shared_access_helper.h"
#include "common/server/vm_default_folder.h"
#include "common/server/vm_utils.h"
#include "core/file/dir_access.h"
#include "core/file/unix/posix_dir.h"
#include "processor/runtime.h"
#include "thrown.h"

namespace {

using HvTest::Thrown;
using HvTest::ThrownCode;

using namespace VirtualWareRaw;
using ServerTest::Scratch;

TEST(FileUtilsTest, ExistenceAnswersWithoutLeavingErrors) {
  Scratch scratch;
  ServerTest::WriteFile(scratch / "a.vmc", "x");
  mkdir((scratch / "sub").c_str(), 0755);
  auto root = ServerTest::AgentRoot();
  auto dir = FileLayer::OpenDir(root, scratch.wpath());
  ASSERT_TRUE(dir);
  EXPECT_TRUE(FileObjectExists(*dir, u"a.vmc"));
  EXPECT_TRUE(FileObjectExists(*dir, u"sub"));
  EXPECT_FALSE(FileObjectExists(*dir, u"b.vmc"));
  // Names are names, not patterns.
  EXPECT_FALSE(FileObjectExists(*dir, u"*.vmc"));
  ServerTest::WriteFile(scratch / "XP [1].vmc", "x");
  ServerTest::WriteFile(scratch / "sub/d?.vhdx", "x");
  EXPECT_TRUE(FileObjectExists(*dir, u"XP [1].vmc"));
  EXPECT_FALSE(FileObjectExists(*dir, u"XP [2].vmc"));
  EXPECT_TRUE(FileObjectExists(*dir, u"sub/d?.vhdx"));
  EXPECT_FALSE(FileObjectExists(*dir, u"none/d?.vhdx"));
  EXPECT_FALSE(dir->Failed());
  EXPECT_TRUE(FileExists(*root, scratch.wpath() + u"/a.vmc"));
  EXPECT_FALSE(FileExists(*root, scratch.wpath() + u"/none/a.vmc"));
  EXPECT_FALSE(root->Failed());
}

TEST(FileUtilsTest, FileLayerFailureIsTracedUnderTheLineTag) {
  Scratch scratch;
  ServerTest::TraceCapture trace(scratch);
  posix_dir dir(scratch.path());
  dir.SetError(Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Test")));
  EXPECT_FALSE(FileObjectExists(dir, u"anything"));
  const std::string lines = trace.Lines();
  EXPECT_NE(lines.find("common/server/file_utils:139"), std::string::npos) << lines;
  EXPECT_NE(lines.find("0x40001"), std::string::npos) << lines;
}

TEST(FileUtilsTest, PathPieces) {
  EXPECT_EQ(GetFileExtension(u"disk.VHDX"), u"VHDX");
  EXPECT_EQ(GetFileExtension(u"/a.b/disk"), u"");
  EXPECT_EQ(GetFileExtension(u"a.tar.gz"), u"gz");
  EXPECT_EQ(GetParentPath(u"/vms/m/m.vmc"), u"/vms/m");
  EXPECT_EQ(GetParentPath(u"/m.vmc"), u"/");
  EXPECT_EQ(GetParentPath(u"m.vmc"), u"");
  EXPECT_EQ(GetParentPath(u"/vms/m/"), u"/vms");
  EXPECT_EQ(GetLastComponent(u"/vms/m/m.vmc"), u"m.vmc");
  EXPECT_EQ(GetLastComponent(u"/vms/m/"), u"m");
  EXPECT_EQ(JoinPath(u"/", u"a"), u"/a");
  EXPECT_EQ(JoinPath(u"/vms", u"a"), u"/vms/a");
  EXPECT_EQ(MakeFileName(u"m", u".vmc"), u"m.vmc");
}

TEST(FileUtilsTest, RenamesTheMachineDirectoryAndItsFile) {
  Scratch scratch;
  mkdir((scratch / "old").c_str(), 0755);
  ServerTest::WriteFile(scratch / "old/old.vmc", "<preferences/>");
  ServerTest::WriteFile(scratch / "old/disk.vhdx", "d");
  posix_dir parent(scratch.path());
  RenameVMFiles(parent, u"old", u"new", u".vmc");
  EXPECT_EQ(ServerTest::ReadFile(scratch / "new/new.vmc"), "<preferences/>");
  // A folder whose file is missing is renamed back.
  mkdir((scratch / "bare").c_str(), 0755);
  EXPECT_THROW(RenameVMFiles(parent, u"bare", u"other", u".vmc"), Common::Error);
  EXPECT_TRUE(ServerTest::Exists(scratch / "bare"));
  EXPECT_FALSE(ServerTest::Exists(scratch / "other"));
  EXPECT_TRUE(ServerTest::Exists(scratch / "new/disk.vhdx"));
  EXPECT_FALSE(ServerTest::Exists(scratch / "old"));
  EXPECT_EQ(ThrownCode([&] { RenameVMFiles(parent, u"old", u"other", u".vmc"); }), Code::kFileNotFound);
}

// A file layer that refuses credentials for a reason other than lacking support.
class RefusingDir final : public posix_dir {
 public:
  using posix_dir::posix_dir;
  bool IOCTL(void*) override {
    SetError(Common::MakeError(Code::kAccessDenied, Msg::kFileReadError, HV_SITE("IOCTL")));
    return false;
  }
};

TEST(SharedAccessTest, CredentialsNeverStopTheCaller) {
  Scratch scratch;
  ServerTest::TraceCapture trace(scratch);
  Common::Credentials credentials{u"user", u"secret"};
  posix_dir plain(scratch.path());
  SetAccessCredentialsHelper(plain, u"/vms", credentials);
  EXPECT_FALSE(plain.Failed());
  EXPECT_EQ(trace.Lines(), "");

  RefusingDir refusing(scratch.path());
  SetAccessCredentialsHelper(refusing, u"/vms", credentials);
  EXPECT_FALSE(refusing.Failed());
  EXPECT_NE(trace.Lines().find("/vms"), std::string::npos);
}

TEST(DefaultFolderTest, ApplianceListsTheRootAndOthersTheSpecialDirectory) {
  Scratch scratch;
  mkdir((scratch / "store1").c_str(), 0755);
  mkdir((scratch / "store2").c_str(), 0755);
  ServerTest::WriteFile(scratch / "file", "x");
  posix_dir root(scratch.path());
  TextList folders = ComputeVMDefaultFolders(root, true);
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (TextList{scratch.wpath() + u"/store1", scratch.wpath() + u"/store2"}));
  EXPECT_EQ(ComputeVMDefaultFolders(root, false), TextList{u"/var/lib"});
  if (!IsAppliance()) {
    EXPECT_EQ(GetVMDefaultFolders(root), TextList{u"/var/lib"});
  }
}

// A file layer without special directories.
class PlainDir final : public posix_dir {
 public:
  using posix_dir::posix_dir;
  std::unique_ptr<rio_dir> OpenSpecialDir(uint32_t id) override { return ri_dir::OpenSpecialDir(id); }
};

TEST(DefaultFolderTest, FileLayerWithoutSpecialDirectoriesSaysSo) {
  PlainDir root("/");
  EXPECT_EQ(ThrownCode([&] { ComputeVMDefaultFolders(root, false); }), Code::kNotSupported);
}

// A machine that answers only what the collection needs.
class NamedVM final : public virtual SafeVM {
 public:
  explicit NamedVM(int id) : id(id) {}
  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<SafeVM>::Instance(); }
  InterfacePair QueryInterface(uint32_t) override { return {}; }
  Common::Error AddHardDisk(const std::u16string&, uint32_t, uint32_t, uint32_t, uint64_t, uint32_t, uint32_t, uint32_t,
                            AutoRef<SafeHardDisk>&) override {
    return {};
  }
  Common::Error AddExistingHardDisk(const std::u16string&, uint32_t, uint32_t, uint32_t, uint32_t,
                                    AutoRef<SafeHardDisk>&) override {
    return {};
  }
  Common::Error RemoveHardDisk(uint32_t, uint32_t, uint32_t, bool) override { return {}; }
  Common::Error ResizeHardDisk(uint32_t, uint32_t, uint32_t, uint64_t) override { return {}; }
  Common::Error GetHardDisks(AutoRef<SafeHardDiskCollection>&) override { return {}; }
  int id;
};

TEST(VMUtilsTest, CollectionGivesItsMachinesInOrder) {
  auto collection = MakeVMCollection({Processor::MakeRef<SafeVM, NamedVM>(1), Processor::MakeRef<SafeVM, NamedVM>(2)});
  uint32_t count = 0;
  ASSERT_TRUE(collection->GetCount(count).IsSuccess());
  EXPECT_EQ(count, 2u);
  AutoRef<SafeVM> vm;
  ASSERT_TRUE(collection->GetItem(1, vm).IsSuccess());
  EXPECT_EQ(dynamic_cast<NamedVM*>(vm.Get())->id, 2);
  const Common::Error error = collection->GetItem(2, vm);
  EXPECT_EQ(error.Code(), Code::kBadVMIndex);
  EXPECT_STREQ(error.Function(), "GetItem");
  EXPECT_TRUE(collection.Query<SafeVMCollection>());
}

TEST(VMUtilsTest, ConvertTakesOnlyWholeDecimalNumbers) {
  EXPECT_EQ(Convert(u"0"), 0u);
  EXPECT_EQ(Convert(u"268435456"), 268435456u);
  EXPECT_EQ(Convert(u"18446744073709551615"), UINT64_MAX);
  for (const char16_t* bad : {u"", u"-1", u"+1", u" 1", u"1 ", u"0x10", u"1.5", u"18446744073709551616"}) {
    const Common::Error error = Thrown([&] { Convert(bad); });
    EXPECT_EQ(error.Code(), Code::kNotADecimalNumber) << Common::Utf16ToUtf8(bad);
    EXPECT_STREQ(error.Function(), "Convert");
    EXPECT_STREQ(error.Source(), "common/server/tools");
  }
  EXPECT_EQ(ToText(0), u"0");
  EXPECT_EQ(ToText(UINT64_MAX), u"18446744073709551615");
}

TEST(VMUtilsTest, ValuesOutsideTheTablesHaveNoName) {
  EXPECT_EQ(PowerStateText(0), u"Unknown");
  EXPECT_EQ(PowerStateText(6), u"Unknown");
  EXPECT_EQ(FirmwareTypeText(2), nullptr);
  EXPECT_EQ(FirmwareTypeFromText(u"uefi"), std::nullopt);
  EXPECT_EQ(ControllerKindText(-1), nullptr);
  EXPECT_EQ(ControllerKindText(16), nullptr);
  EXPECT_EQ(ProcessorArchitectureText("HygonGenuine", true), u"");
  EXPECT_EQ(ProcessorArchitectureText("GenuineIntel", false), u"x86");
}

TEST(VMUtilsTest, UuidTextWithOrWithoutBraces) {
  const auto plain = VMUuidFromText(u"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->data1, 0x0F1E2D3Cu);
  EXPECT_EQ(VMUuidFromText(u"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"), plain);
  EXPECT_FALSE(VMUuidFromText(u"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"));
  EXPECT_FALSE(VMUuidFromText(u"/vms/m/m.vmc"));
}

}  // namespace
