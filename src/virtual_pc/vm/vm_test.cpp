#include <gtest/gtest.h>
#include <nettle/md5.h>
#include <sys/stat.h>

#include <regex>

#include "common/server/vm_utils.h"
#include "core/common/error_codes.h"
#include "core/common/guid.h"
#include "thrown.h"
#include "virtual_pc/vm/vm_testutil.h"

namespace {

using HvTest::Thrown;

using namespace VmTest;
using ServerTest::Scratch;

class MachineTest : public ::testing::Test {
 protected:
  std::u16string Path(const std::string& relative) const { return Common::Utf8ToUtf16(scratch_ / relative); }

  Scratch scratch_;
  VirtualPC::HostAccess host_{ServerTest::AgentRoot(), {}};
};

TEST_F(MachineTest, TemplateMachineReportsItsSettings) {
  AutoRef<SafeVM> vm = Create(host_, scratch_.wpath(), u"a/b");
  ASSERT_TRUE(vm);
  const std::string vmc = scratch_ / "a_b/a_b.vmc";
  const std::string text = ServerTest::ReadFile(vmc);
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<preferences><hardware>", 0), 0u)
      << text;

  const std::u16string path = Common::Utf8ToUtf16(vmc);
  const std::pair<const char16_t*, std::u16string> expected[] = {
      {u"ID", path},           {u"FileName", path}, {u"Name", u"a_b"},        {u"Memory", u"128"},
      {u"FirmwareType", u"0"}, {u"CPUs", u"1"},     {u"GuestOS", u"Unknown"}, {u"PowerState", u"Unknown"}};
  for (const auto& [name, value] : expected) EXPECT_EQ(Property(vm, name), value) << Common::Utf16ToUtf8(name);

  // The UUID is the MD5 digest of the path's UTF-16LE bytes.
  const std::string bytes = Utf16Le(vmc, false);
  md5_ctx md5;
  md5_init(&md5);
  md5_update(&md5, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_digest(&md5, sizeof digest, digest);
  EXPECT_EQ(Property(vm, u"UUID"), Common::GuidToWideText(Common::Guid::Load(digest)));

  TextList names;
  HV_OK(vm.Query<PropertySet>()->GetPropertyNames(names));
  EXPECT_EQ(names, (TextList{u"ID", u"UUID", u"Name", u"FileName", u"Memory", u"CPUs", u"GuestOS", u"PowerState",
                             u"FirmwareType"}));

  // A second machine of the same name is refused and the first one kept.
  const Common::Error again =
      Thrown([&] { VirtualPC::CreateMSVirtualPCVirtualMachine(host_, scratch_.wpath(), u"a/b", 0); });
  EXPECT_EQ(again.Code(), Code::kVMExists);
  EXPECT_EQ(ServerTest::ReadFile(vmc), text);
}

TEST_F(MachineTest, PathThatIsAGuidIsTheUuid) {
  const std::string guid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
  ServerTest::WriteFile(scratch_ / ("{" + guid + "}"), "<preferences/>");
  ServerTest::WriteFile(scratch_ / guid, "<preferences/>");
  // A root of the agent's choosing, in which the path is the bare name.
  std::shared_ptr<rio_dir> root;
  HV_OK(HostCreateFileServices(scratch_.path().c_str())->GetRootDir(root));
  const VirtualPC::HostAccess host{root, {}};
  EXPECT_EQ(Property(Open(host, Common::Utf8ToUtf16("{" + guid + "}")), u"UUID"), Common::Utf8ToUtf16(guid));
  EXPECT_EQ(Property(Open(host, Common::Utf8ToUtf16(guid)), u"UUID"), Common::Utf8ToUtf16(guid));
  EXPECT_NE(Property(Open(host_, Path(guid)), u"UUID"), Common::Utf8ToUtf16(guid));
}

TEST_F(MachineTest, SettingsChangeAndSurviveReopening) {
  AutoRef<SafeVM> vm = Create(host_, scratch_.wpath(), u"set");
  HV_OK(SetProperty(vm, u"Memory", u"268435456"));
  EXPECT_EQ(Property(vm, u"Memory"), u"256");
  HV_OK(SetProperty(vm, u"FirmwareType", u"1"));
  EXPECT_EQ(Property(vm, u"FirmwareType"), u"1");
  HV_OK(SetProperty(vm, u"CPUs", u"1"));

  EXPECT_EQ(SetProperty(vm, u"CPUs", u"2").Code(), Code::kPropertyNotSupported);
  EXPECT_EQ(Codes(SetProperty(vm, u"Memory", u"lots")),
            (std::vector<uint32_t>{Code::kSetPropertyFailed, Code::kNotADecimalNumber}));
  EXPECT_EQ(Codes(SetProperty(vm, u"FirmwareType", u"-1")),
            (std::vector<uint32_t>{Code::kSetPropertyFailed, Code::kNotADecimalNumber}));
  EXPECT_EQ(SetProperty(vm, u"GuestOS", u"Linux").Code(), Code::kPropertyNotSupported);
  TextList list;
  EXPECT_EQ(vm.Query<PropertySet>()->GetProperty(u"Memory", list).Code(), Code::kPropertyNotSupported);
  EXPECT_EQ(vm.Query<PropertySet>()->SetProperty(u"Memory", TextList{u"1"}).Code(), Code::kPropertyNotSupported);
  std::u16string value;
  EXPECT_EQ(vm.Query<PropertySet>()->GetProperty(u"Colour", value).Code(), Code::kPropertyNotSupported);

  // Property changes reach the file when the machine is closed.
  const std::string vmc = scratch_ / "set/set.vmc";
  EXPECT_EQ(ServerTest::ReadFile(vmc).find("256"), std::string::npos);
  HV_OK(Close(vm));
  const std::string text = ServerTest::ReadFile(vmc);
  EXPECT_NE(text.find("<ram_size type=\"integer\">256</ram_size>"), std::string::npos) << text;
  EXPECT_NE(text.find("<value type=\"string\">efi</value>"), std::string::npos) << text;
  EXPECT_FALSE(ServerTest::Exists(vmc + ".new"));
  // Rewriting keeps the permissions the file had.
  chmod(vmc.c_str(), 0600);
  HV_OK(SetProperty(vm, u"Memory", u"536870912"));
  HV_OK(Close(vm));
  struct stat st {};
  ASSERT_EQ(stat(vmc.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  HV_OK(SetProperty(vm, u"Memory", u"268435456"));
  HV_OK(Close(vm));

  AutoRef<SafeVM> again = Open(host_, Common::Utf8ToUtf16(vmc));
  EXPECT_EQ(Property(again, u"Memory"), u"256");
  EXPECT_EQ(Property(again, u"FirmwareType"), u"1");
}

TEST_F(MachineTest, DisksOnBothBusesKeepTheirDataAcrossReopening) {
  AutoRef<SafeVM> vm = Create(host_, scratch_.wpath(), u"disks");
  AutoRef<SafeHardDisk> ide, scsi;
  HV_OK(vm->AddHardDisk(u"system", 0, 0, 1, 3 << 20, 512, 0, 0, ide));
  HV_OK(vm->AddHardDisk(u"DATA.VHDX", 1, 3, 14, 5 << 20, 4096, 0, 0, scsi));
  const std::string dir = scratch_ / "disks";
  EXPECT_TRUE(ServerTest::Exists(dir + "/system.vhdx"));
  EXPECT_TRUE(ServerTest::Exists(dir + "/DATA.VHDX"));
  const std::string text = ServerTest::ReadFile(dir + "/disks.vmc");
  EXPECT_NE(text.find("<ide_controller id=\"0\"><location id=\"1\">"), std::string::npos) << text;
  EXPECT_NE(text.find("<drive_type type=\"integer\">1</drive_type>"), std::string::npos) << text;

  {
    auto a = SectorDisk(ide);
    auto b = SectorDisk(scsi);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->GetSectorSize(), 512u);
    EXPECT_EQ(a->GetSectorCount(), 6144u);
    EXPECT_EQ(b->GetSectorSize(), 4096u);
    EXPECT_EQ(b->GetSectorCount(), 1280u);
    std::vector<uint8_t> first = Pattern(512 * 8, 1), second = Pattern(4096 * 3, 2);
    HV_OK(a->IO(Fdisk::kIoWrite, first.data(), 6000, 8));
    HV_OK(b->IO(Fdisk::kIoWrite, second.data(), 1277, 3));
  }
  HV_OK(Close(vm));
  ide.Reset();
  scsi.Reset();
  vm.Reset();

  AutoRef<SafeVM> again = Open(host_, Common::Utf8ToUtf16(dir + "/disks.vmc"));
  const std::vector<DiskInfo> disks = ListDisks(again);
  ASSERT_EQ(disks, (std::vector<DiskInfo>{{Common::Utf8ToUtf16(dir + "/system.vhdx"), 0, 0, 1},
                                          {Common::Utf8ToUtf16(dir + "/DATA.VHDX"), 1, 3, 14}}));
  // What removing the machine deletes.
  EXPECT_EQ(GetVMFiles(*again), (TextList{Common::Utf8ToUtf16(dir + "/disks.vmc"), disks[0].file, disks[1].file}));
  AutoRef<SafeHardDisk> disk = DiskAt(*again, 1);
  uint32_t type = 9;
  HV_OK(disk->GetHardDiskType(type));
  EXPECT_EQ(type, 0u);
  // Asking a raw disk twice opens the file once.
  AutoRef<SafeRawHardDisk> raw;
  HV_OK(disk->GetRawDisk(raw));
  std::shared_ptr<VirtualMachineDiskEx> once, twice;
  HV_OK(raw->GetDisk(once));
  HV_OK(raw->GetDisk(twice));
  EXPECT_EQ(once, twice);
  std::vector<uint8_t> back(4096 * 3);
  HV_OK(once->IO(Fdisk::kIoRead, back.data(), 1277, 3));
  EXPECT_EQ(back, Pattern(4096 * 3, 2));
  intptr_t handle = 0;
  EXPECT_EQ(once->GetPlatformHandle(handle).Code(), Code::kCodeNotImplemented);

  auto first = SectorDisk(DiskAt(*again, 0));
  back.assign(512 * 8, 0);
  HV_OK(first->IO(Fdisk::kIoRead, back.data(), 6000, 8));
  EXPECT_EQ(back, Pattern(512 * 8, 1));
}

TEST_F(MachineTest, PlacesFilesAndBusesAreChecked) {
  ServerTest::TraceCapture trace(scratch_);
  AutoRef<SafeVM> vm = Create(host_, scratch_.wpath(), u"checks");
  const std::string dir = scratch_ / "checks";
  AutoRef<SafeHardDisk> disk;
  HV_OK(vm->AddHardDisk(u"one.vhdx", 0, 1, 1, 1 << 20, 512, 0, 0, disk));
  EXPECT_EQ(vm->AddHardDisk(u"one", 0, 0, 0, 1 << 20, 512, 0, 0, disk).Code(), Code::kHddExists);
  EXPECT_EQ(vm->AddHardDisk(u"two", 0, 1, 1, 1 << 20, 512, 0, 0, disk).Code(), Code::kBusDeviceInUse);
  EXPECT_FALSE(ServerTest::Exists(dir + "/two.vhdx"));
  EXPECT_EQ(vm->AddHardDisk(u"two", 2, 0, 0, 1 << 20, 512, 0, 0, disk).Code(), Code::kDeviceInterfaceNotSupported);
  EXPECT_EQ(vm->AddHardDisk(u"two", 0, 2, 0, 1 << 20, 512, 0, 0, disk).Code(), Code::kDeviceInterfaceNotSupported);
  EXPECT_EQ(Codes(vm->AddHardDisk(u"two", 1, 0, 0, 1 << 20, 1024, 0, 0, disk)),
            (std::vector<uint32_t>{Code::kDiskSectorSizeNotSupported}));
  EXPECT_FALSE(ServerTest::Exists(dir + "/two.vhdx"));
  EXPECT_EQ(vm->AddExistingHardDisk(u"none.vhdx", 1, 0, 0, 0, disk).Code(), Code::kHddMissing);
  EXPECT_EQ(vm->AddExistingHardDisk(u"one.vhdx", 0, 1, 1, 0, disk).Code(), Code::kBusDeviceInUse);
  EXPECT_EQ(vm->RemoveHardDisk(0, 0, 0, false).Code(), Code::kRemoveHardDiskFailed);
  EXPECT_EQ(vm->RemoveHardDisk(5, 0, 0, false).Code(), Code::kDeviceInterfaceNotSupported);
  EXPECT_EQ(vm->ResizeHardDisk(0, 1, 1, 2 << 20).Code(), Code::kNotImplemented);

  // One file may sit in two places; removing one place keeps the file.
  HV_OK(vm->AddExistingHardDisk(Common::Utf8ToUtf16(dir + "/one.vhdx"), 1, 0, 0, 0, disk));
  EXPECT_EQ(ListDisks(vm).size(), 2u);
  HV_OK(vm->RemoveHardDisk(1, 0, 0, false));
  EXPECT_TRUE(ServerTest::Exists(dir + "/one.vhdx"));
  // Removing the last disk of a controller removes the controller, and the file with it.
  HV_OK(vm->RemoveHardDisk(0, 1, 1, true));
  EXPECT_FALSE(ServerTest::Exists(dir + "/one.vhdx"));
  const std::string text = ServerTest::ReadFile(dir + "/checks.vmc");
  EXPECT_EQ(text.find("controller"), std::string::npos) << text;
  EXPECT_TRUE(ListDisks(vm).empty());
  HV_OK(Close(vm));
  const std::string lines = trace.Lines();
  for (const char* line : {"Virtual disk '", "' has been added to 'checks'.", "Removing hard disk '",
                           "Closing virtual machine 'checks.vmc'."}) {
    EXPECT_NE(lines.find(line), std::string::npos) << line << "\n" << lines;
  }
}

TEST_F(MachineTest, RenameMovesTheFolderAndTheFile) {
  AutoRef<SafeVM> vm = Create(host_, scratch_.wpath(), u"old");
  AutoRef<SafeHardDisk> disk;
  HV_OK(vm->AddHardDisk(u"d", 0, 0, 0, 1 << 20, 512, 0, 0, disk));
  HV_OK(SetProperty(vm, u"Memory", u"536870912"));
  HV_OK(SetProperty(vm, u"Name", u"new"));
  EXPECT_EQ(Property(vm, u"Name"), u"new");
  EXPECT_EQ(Property(vm, u"FileName"), Path("new/new.vmc"));
  EXPECT_FALSE(ServerTest::Exists(scratch_ / "old"));
  // The change made before the rename went with it.
  EXPECT_NE(ServerTest::ReadFile(scratch_ / "new/new.vmc").find(">512<"), std::string::npos);
  EXPECT_EQ(ListDisks(vm).at(0).file, Path("new/d.vhdx"));

  mkdir((scratch_ / "taken").c_str(), 0755);
  EXPECT_EQ(Codes(SetProperty(vm, u"Name", u"taken")),
            (std::vector<uint32_t>{Code::kSetPropertyFailed, Code::kRenameVMFailed, Code::kVMExists}));
  EXPECT_EQ(Codes(SetProperty(vm, u"Name", u"x/y")),
            (std::vector<uint32_t>{Code::kSetPropertyFailed, Code::kRenameVMFailed, Code::kRenameVMFailed}));
  EXPECT_TRUE(ServerTest::Exists(scratch_ / "new/new.vmc"));
  HV_OK(Close(vm));
  AutoRef<SafeVM> again = Open(host_, Path("new/new.vmc"));
  EXPECT_EQ(Property(again, u"Memory"), u"512");
}

TEST_F(MachineTest, ReadOnlyMachineLeavesItsFileAlone) {
  AutoRef<SafeVM> vm = Create(host_, scratch_.wpath(), u"ro");
  AutoRef<SafeHardDisk> disk;
  HV_OK(vm->AddHardDisk(u"d", 0, 0, 0, 1 << 20, 512, 0, 0, disk));
  HV_OK(Close(vm));
  const std::string vmc = scratch_ / "ro/ro.vmc";
  const std::string before = ServerTest::ReadFile(vmc);
  struct stat st {};
  stat(vmc.c_str(), &st);

  AutoRef<SafeVM> reader = Open(host_, Common::Utf8ToUtf16(vmc));
  HV_OK(SetAccess(reader, 0));
  EXPECT_EQ(Codes(SetProperty(reader, u"Memory", u"268435456")),
            (std::vector<uint32_t>{Code::kSetPropertyFailed, Code::kConfigurationError}));
  EXPECT_EQ(Codes(SetProperty(reader, u"Name", u"other")),
            (std::vector<uint32_t>{Code::kSetPropertyFailed, Code::kConfigurationError}));
  EXPECT_EQ(reader->AddHardDisk(u"e", 0, 0, 1, 1 << 20, 512, 0, 0, disk).Code(), Code::kConfigurationError);
  EXPECT_FALSE(ServerTest::Exists(scratch_ / "ro/e.vhdx"));
  EXPECT_EQ(reader->AddExistingHardDisk(u"d.vhdx", 0, 0, 1, 0, disk).Code(), Code::kConfigurationError);
  EXPECT_EQ(reader->RemoveHardDisk(0, 0, 0, true).Code(), Code::kConfigurationError);
  EXPECT_TRUE(ServerTest::Exists(scratch_ / "ro/d.vhdx"));
  EXPECT_EQ(Property(reader, u"Memory"), u"128");
  EXPECT_EQ(ListDisks(reader).size(), 1u);
  HV_OK(Close(reader));
  struct stat after {};
  stat(vmc.c_str(), &after);
  EXPECT_EQ(ServerTest::ReadFile(vmc), before);
  EXPECT_EQ(after.st_ino, st.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, st.st_mtim.tv_nsec);

  // Write access granted again lets the machine change.
  HV_OK(SetAccess(reader, SafeVMAccess::kWriteAccess));
  HV_OK(SetProperty(reader, u"Memory", u"268435456"));
}

TEST_F(MachineTest, OpeningNamesWhatIsMissing) {
  EXPECT_EQ(Thrown([&] { VirtualPC::OpenMSVirtualPCVM(host_, Path("none/none.vmc")); }).Code(),
            Code::kOpenDirectoryFailed);
  const Common::Error missing = Thrown([&] { VirtualPC::OpenMSVirtualPCVM(host_, Path("none.vmc")); });
  EXPECT_EQ(missing.Code(), Code::kFindFileFailed);
  EXPECT_STREQ(missing.Function(), "CheckFileExistence");
  ServerTest::WriteFile(scratch_ / "bad.vmc", "<preferences><hardware>");
  AutoRef<SafeVM> bad = Open(host_, Path("bad.vmc"));
  std::u16string value;
  const std::vector<uint32_t> parse = Codes(bad.Query<PropertySet>()->GetProperty(u"Memory", value));
  ASSERT_GE(parse.size(), 2u);
  EXPECT_EQ(parse[0], Code::kGetMemorySizeFailed);
  EXPECT_EQ(parse[1], Code::kConfigurationError);
  ServerTest::WriteFile(scratch_ / "bare.vmc", "<preferences/>");
  AutoRef<SafeVM> bare = Open(host_, Path("bare.vmc"));
  EXPECT_EQ(bare.Query<PropertySet>()->GetProperty(u"Memory", value).Code(), Code::kGetMemorySizeFailed);
  EXPECT_EQ(bare.Query<PropertySet>()->GetProperty(u"FirmwareType", value).Code(), Code::kGetFirmwareTypeFailed);
  EXPECT_EQ(Property(bare, u"Name"), u"bare");
}

}  // namespace

namespace {

using namespace VmTest;

bool HaveTool(const char* probe) { return std::system(probe) == 0; }

// The raw image of a disk as an independent reader sees it.
std::string ExportRaw(const std::string& disk, const std::string& raw, bool qemu) {
  const std::string command = qemu ? "qemu-img convert -f vhdx -O raw '" + disk + "' '" + raw + "'"
                                   : "7zz e -so '" + disk + "' > '" + raw + "' 2>/dev/null";
  return std::system(command.c_str()) == 0 ? ServerTest::ReadFile(raw) : std::string();
}

TEST(MachineDiskInteropTest, IndependentReadersSeeWhatTheRawDisksWrote) {
  ServerTest::Scratch scratch;
  const VirtualPC::HostAccess host{ServerTest::AgentRoot(), {}};
  AutoRef<SafeVM> vm = Create(host, scratch.wpath(), u"interop");
  const struct {
    const char16_t* name;
    uint32_t bus, sectorSize, flags;
  } disks[] = {{u"ide512", 0, 512, 0}, {u"scsi4k", 1, 4096, 0}, {u"fixed512", 1, 512, 1}};
  const uint64_t size = 6 << 20;
  const uint64_t offset = 4 << 20;  // the second block
  for (const auto& d : disks) {
    AutoRef<SafeHardDisk> disk;
    HV_OK(vm->AddHardDisk(d.name, d.bus, 0, d.bus == 0 ? 1 : 2 + d.flags, size, d.sectorSize, 0, d.flags, disk));
    auto sectors = SectorDisk(disk);
    ASSERT_TRUE(sectors);
    std::vector<uint8_t> data = Pattern(64 << 10, d.sectorSize + d.flags);
    HV_OK(sectors->IO(Fdisk::kIoWrite, data.data(), offset / d.sectorSize, data.size() / d.sectorSize));
  }
  HV_OK(Close(vm));
  vm.Reset();

  for (const auto& d : disks) {
    const std::string file = scratch / ("interop/" + Common::Utf16ToUtf8(d.name) + ".vhdx");
    SCOPED_TRACE(file);
    // qemu reads only 512-byte logical sectors; 7-Zip reads both.
    const bool qemu = d.sectorSize == 512;
    if (!HaveTool(qemu ? "qemu-img --version >/dev/null 2>&1" : "7zz i >/dev/null 2>&1")) {
      GTEST_SKIP() << "independent reader not installed";
    }
    if (qemu) {
      EXPECT_EQ(std::system(("qemu-img check -q -f vhdx '" + file + "'").c_str()), 0);
    }
    const std::string raw = ExportRaw(file, scratch / "raw", qemu);
    ASSERT_EQ(raw.size(), size);
    const std::vector<uint8_t> expected = Pattern(64 << 10, d.sectorSize + d.flags);
    EXPECT_EQ(raw.substr(offset, expected.size()), std::string(expected.begin(), expected.end()));
    EXPECT_EQ(raw.find_first_not_of('\0'), offset);
  }
}

}  // namespace
