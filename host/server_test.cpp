// The workstation server and its dummy machines as an agent sees them.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "hvplug/virtual_machine_disk.h"
#include "plugin_testutil.h"

namespace {

using Processor::AutoRef;
using namespace VirtualWareRaw;
using PluginTesting::Describe;
using PluginTesting::Wide;

class ServerTest : public PluginTesting::PluginFixture {
 protected:
  AutoRef<SafeVM> DummyVM(const AutoRef<SafeVirtualServer>& server, const std::u16string& description = {}) {
    AutoRef<Processor::Interface> object;
    const Common::Error error = server.Query<ObjectManager>()->CreateObject(u"VirtualMachine", description, object);
    EXPECT_FALSE(error.IsFailure()) << Describe(error);
    return object.Query<SafeVM>();
  }
  static std::u16string Property(const AutoRef<PropertySet>& set, const std::u16string& name) {
    std::u16string value;
    const Common::Error error = set->GetProperty(name, value);
    EXPECT_FALSE(error.IsFailure()) << Describe(error);
    return value;
  }
};

TEST_F(ServerTest, PropertiesAreFixedAndNamedExactly) {
  AutoRef<SafeVirtualServer> server = OpenServer();
  auto properties = server.Query<PropertySet>();
  TextList names;
  ASSERT_OK(properties->GetPropertyNames(names));
  EXPECT_EQ(names, (TextList{u"ID", u"ResourceName", u"Name", u"SupportedFirmwareTypes", u"Vendor", u"Version", u"UUID",
                             u"CpuVendor", u"CpuArchitecture", u"CpuFamily", u"CpuModel"}));
  const auto get = [&](const std::u16string& name) { return Property(properties, name); };
  EXPECT_EQ(get(u"ID"), u"E7F120F4-5479-4C91-AEA0-ACE049E8F4CC");
  EXPECT_EQ(get(u"UUID"), get(u"ID"));
  EXPECT_EQ(get(u"Version"), u"5.3.582.27");
  EXPECT_EQ(get(u"Name"), u"Virtual PC");
  EXPECT_EQ(get(u"Vendor"), u"Microsoft");
  EXPECT_EQ(get(u"ResourceName"), u"VHDX files");
  const std::u16string vendor = get(u"CpuVendor"), architecture = get(u"CpuArchitecture");
  EXPECT_EQ(vendor.size(), 12u);
  if (vendor == u"GenuineIntel" || vendor == u"AuthenticAMD") {
    EXPECT_EQ(architecture, vendor == u"GenuineIntel" ? u"Intel64" : u"AMD64");
  }
  EXPECT_NE(get(u"CpuFamily"), u"");
  EXPECT_NE(get(u"CpuModel"), u"");
  TextList firmware;
  ASSERT_OK(properties->GetProperty(u"SupportedFirmwareTypes", firmware));
  EXPECT_EQ(firmware, (TextList{u"1", u"0"}));

  std::u16string value;
  const Common::Error lower = properties->GetProperty(u"version", value);
  EXPECT_EQ(lower.Code(), Code::kPropertyNotSupported);
  EXPECT_STREQ(lower.Function(), "GetProperty");
  EXPECT_EQ(lower.Line(), 257u);
  EXPECT_EQ(properties->GetProperty(u"Version", firmware).Code(), Code::kPropertyNotSupported);
  for (const Common::Error& error : {properties->SetProperty(u"Name", u"x"), properties->SetProperty(u"Name", names)}) {
    EXPECT_EQ(error.Code(), Code::kPropertyNotSupported);
    EXPECT_STREQ(error.Function(), "SetProperty");
  }
  // Localized values follow the language.
  ResourceApi::SetLanguage("de");
  EXPECT_NE(get(u"ResourceName"), u"VHDX files");
}

TEST_F(ServerTest, FileOperationsWaitForFileServices) {
  AutoRef<SafeVirtualServer> server = OpenServer();
  // The missing root is the innermost cause; `outer` (when given) the error returned.
  const auto expectRoot = [](const Common::Error& error, const char* what, uint32_t outer = 0) {
    EXPECT_TRUE(!outer || error.Code() == outer) << what << "\n" << Describe(error);
    Common::Error root = error;
    while (root.IsFailure() && root.Code() != Code::kInternalError) root = root.Cause();
    ASSERT_EQ(root.Code(), Code::kInternalError) << what << "\n" << Describe(error);
    EXPECT_STREQ(root.Function(), "GetRootDir");
    EXPECT_EQ(root.Line(), 476u);
    EXPECT_EQ(root.Message(), u"An internal error.");
  };
  TextList folders;
  expectRoot(server->GetDefaultVMFolders(folders), "folders");
  AutoRef<SafeVM> vm;
  expectRoot(server->CreateVM(Wide(dir_), u"m", 0, vm), "create", Code::kCreateVMFailed);
  expectRoot(server->GetRegisteredVM(Wide(dir_ + "/m/m.vmc"), vm), "open", Code::kOpenVMFailed);
  expectRoot(server->RemoveVM(Wide(dir_ + "/m/m.vmc")), "remove", Code::kDeleteVMFailed);
  AutoRef<SafeVMCollection> list;
  expectRoot(server.Query<VirtualWorkstation>()->GetRegisteredVMs(Wide(dir_), Common::Credentials{}, u"m", list),
             "list", Code::kGetRegisteredVMsFailed);
  // Dummy machines need no files until their settings are checked.
  EXPECT_TRUE(DummyVM(server));
  AutoRef<Processor::Interface> object;
  expectRoot(server.Query<ObjectManager>()->CreateObject(
                 u"VirtualMachine", u"<VirtualMachine><Name>n</Name><Storage>/</Storage></VirtualMachine>", object),
             "dummy");
}

TEST_F(ServerTest, RegisteredMachineListsAreEmptyOrOneMachine) {
  AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices());
  AutoRef<SafeVMCollection> empty;
  ASSERT_OK(server->GetRegisteredVMs(empty));
  uint32_t count = 7;
  ASSERT_OK(empty->GetCount(count));
  EXPECT_EQ(count, 0u);
  AutoRef<SafeVM> vm;
  const Common::Error none = empty->GetItem(0, vm);
  EXPECT_EQ(none.Code(), Code::kCollectionIndexInvalid);
  EXPECT_STREQ(none.Function(), "GetItem");

  AutoRef<SafeVM> created;
  ASSERT_OK(server->CreateVM(Wide(dir_), u"a:b", 0, created));  // ':' cannot be part of a file name
  ASSERT_OK(created.Query<SafeVMAccess>()->Close());
  created.Reset();
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/a_b/a_b.vmc"));
  auto workstation = server.Query<VirtualWorkstation>();
  AutoRef<SafeVMCollection> one;
  ASSERT_OK(workstation->GetRegisteredVMs(Wide(dir_), Common::Credentials{}, u"a:b", one));
  ASSERT_OK(one->GetCount(count));
  EXPECT_EQ(count, 1u);
  ASSERT_OK(one->GetItem(0, vm));
  const Common::Error missing = workstation->GetRegisteredVMs(Wide(dir_), Common::Credentials{}, u"c", one);
  EXPECT_EQ(missing.Code(), Code::kGetRegisteredVMsFailed);
  EXPECT_EQ(missing.Cause().Code(), Code::kOpenVMFailed);
  // Credentials that the file layer does not take change nothing.
  Common::Credentials credentials;
  credentials.userName = u"backup";
  credentials.password = u"secret";
  ASSERT_OK(workstation->GetRegisteredVM(Wide(dir_ + "/a_b/a_b.vmc"), credentials, vm));
  vm.Reset();
  ASSERT_OK(workstation->RemoveVM(Wide(dir_ + "/a_b/a_b.vmc"), credentials));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/a_b/a_b.vmc"));
}

TEST_F(ServerTest, CreateVMWithoutLocationUsesTheFirstDefaultFolder) {
  AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices());
  TextList folders;
  ASSERT_OK(server->GetDefaultVMFolders(folders));
  ASSERT_FALSE(folders.empty());
  const std::string folder(folders[0].begin(), folders[0].end());
  if (access(folder.c_str(), W_OK) != 0) GTEST_SKIP() << folder << " is not writable";
  const std::string name = "hvplug-test-" + std::to_string(getpid());
  AutoRef<SafeVM> vm;
  ASSERT_OK(server->CreateVM(u"", Wide(name), 0, vm));
  ASSERT_OK(vm.Query<SafeVMAccess>()->Close());
  vm.Reset();
  const std::string vmc = folder + "/" + name + "/" + name + ".vmc";
  EXPECT_TRUE(std::filesystem::exists(vmc));
  ASSERT_OK(server->RemoveVM(Wide(vmc)));
  std::filesystem::remove_all(folder + "/" + name);
}

TEST_F(ServerTest, DummyMachinesAreFoundAndRemovedLikeMachines) {
  AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices());
  const std::u16string description =
      u"<VirtualMachine><Name>web</Name><Storage>" + Wide(dir_) + u"</Storage></VirtualMachine>";
  AutoRef<SafeVM> vm = DummyVM(server, description);
  ASSERT_TRUE(vm);
  auto properties = vm.Query<PropertySet>();
  const std::u16string id = Property(properties, u"ID");
  EXPECT_EQ(Property(properties, u"Name"), u"web");
  // The storage must exist, and no machine of that name may exist in it yet.
  EXPECT_EQ(properties->SetProperty(u"Storage", Wide(dir_ + "/none")).Code(), Code::kOpenVMFailed);
  AutoRef<SafeVM> real;
  ASSERT_OK(server->CreateVM(Wide(dir_), u"db", 0, real));
  ASSERT_OK(real.Query<SafeVMAccess>()->Close());
  real.Reset();
  EXPECT_EQ(properties->SetProperty(u"Name", u"db").Code(), Code::kVMExists);
  EXPECT_EQ(Property(properties, u"Name"), u"web");

  AutoRef<Processor::Interface> none;
  auto objects = server.Query<ObjectManager>();
  ASSERT_OK(objects->CreateObject(u"link", u"<link><alias>web-alias</alias><id>" + id + u"</id></link>", none));
  EXPECT_FALSE(none);
  // A second server of the process sees the same dummy machines.
  AutoRef<SafeVirtualServer> other = OpenServer(HostCreateFileServices());
  for (const std::u16string& name : {id, std::u16string(u"web-alias")}) {
    AutoRef<SafeVM> found;
    ASSERT_OK(other->GetRegisteredVM(name, found));
    EXPECT_EQ(found.Get(), vm.Get());
    AutoRef<Processor::Interface> object;
    ASSERT_OK(other.Query<ObjectManager>()->GetObject(name, object));
    EXPECT_EQ(object.Query<SafeVM>().Get(), vm.Get());
  }

  ASSERT_OK(server->RemoveVM(u"web-alias"));
  AutoRef<SafeVM> gone;
  const Common::Error after = server->GetRegisteredVM(id, gone);
  EXPECT_EQ(after.Code(), Code::kOpenVMFailed);  // now taken for a file path
  EXPECT_TRUE(after.Cause().IsFailure());
  EXPECT_EQ(objects->GetObject(u"web-alias", none).Code(), Code::kGetObjectFailed);
  EXPECT_EQ(server->RemoveVM(id).Code(), Code::kDeleteVMFailed);
}

TEST_F(ServerTest, DummyDiskParametersFollowTheAdapter) {
  AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices());
  AutoRef<SafeVM> vm = DummyVM(server);
  struct Case {
    uint32_t bus;
    uint64_t size;
    uint32_t sectorSize;
    uint64_t sectors;
    uint8_t sectorsPerTrack, highestHead;
  };
  for (const Case& c : {Case{0, 0x10000 * 512ull, 512, 0x10000, 17, 3},  // small IDE disk: 4 heads
                        Case{0, 0x7B000 * 512ull, 512, 0x7B000, 31, 15},
                        Case{0, 0x200000 * 512ull + 300, 512, 0x200000, 63, 63},  // rounded down to whole sectors
                        Case{1, 1ull << 30, 4096, (1ull << 30) / 4096, 63, 254},
                        Case{2, 1ull << 20, 512, 2048, 0, 0}}) {  // no geometry for this adapter
    AutoRef<SafeHardDisk> disk;
    ASSERT_OK(vm->AddHardDisk(u"d", c.bus, 0, 0, c.size, c.sectorSize, 0, 0, disk));
    std::shared_ptr<VirtualMachineDiskEx> opened = OpenDisk(disk);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->GetSectorCount(), c.sectors) << c.bus;
    EXPECT_EQ(opened->GetSectorSize(), c.sectorSize);
    EXPECT_EQ(opened->GetGeometry().sectorsPerTrack, c.sectorsPerTrack) << c.size;
    EXPECT_EQ(opened->GetGeometry().highestHead, c.highestHead) << c.size;
    const uint64_t cylinders = c.sectorsPerTrack ? (c.sectors - 1) / (c.highestHead + 1u) / c.sectorsPerTrack : 0;
    EXPECT_EQ(opened->GetGeometry().cylinders, cylinders);
    ASSERT_OK(vm->RemoveHardDisk(c.bus, 0, 0, false));
  }
  AutoRef<SafeHardDisk> disk;
  const Common::Error zero = vm->AddHardDisk(u"d", 0, 0, 0, 1 << 20, 0, 0, 0, disk);
  EXPECT_EQ(zero.Code(), Code::kInvalidSectorSize);
  EXPECT_EQ(zero.Message(), u"Invalid sector size.");
  EXPECT_TRUE(vm->AddHardDisk(u"d", 0, 0, 0, 1 << 20, 520, 0, 0, disk).IsFailure());
  EXPECT_TRUE(vm->AddHardDisk(u"d", 0, 0, 0, 512, 512, 0, 0, disk).IsFailure());
}

// Every failure a caller can reach, with its message in both languages.
TEST_F(ServerTest, FailuresSpeakEnglishAndGerman) {
  AutoRef<SafeVirtualServer> bare = OpenServer();
  AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices());
  AutoRef<SafeVM> dummy = DummyVM(server);
  AutoRef<SafeHardDisk> disk;
  ASSERT_OK(dummy->AddHardDisk(u"boot", 0, 0, 0, 1 << 20, 512, 0, 0, disk));
  std::shared_ptr<VirtualMachineDiskEx> opened = OpenDisk(disk);
  ASSERT_TRUE(opened);
  AutoRef<SafeHardDiskCollection> disks;
  ASSERT_OK(dummy->GetHardDisks(disks));
  AutoRef<SafeVMCollection> empty;
  ASSERT_OK(server->GetRegisteredVMs(empty));
  const std::u16string missing = Wide(dir_ + "/x/x.vmc");

  struct Case {
    uint32_t code;
    std::function<Common::Error()> call;
    std::u16string english, german;
  };
  AutoRef<SafeVM> vm;
  AutoRef<Processor::Interface> object;
  TextList folders;
  std::vector<uint8_t> buffer(512);
  const std::vector<Case> cases{
      {Code::kInternalError, [&] { return bare->GetDefaultVMFolders(folders); }, u"An internal error.",
       u"Ein interner Fehler."},
      {Code::kOpenVMFailed, [&] { return server->GetRegisteredVM(missing, vm); },
       u"Failed to open virtual machine '" + missing + u"'.",
       u"Die virtuelle Maschine '" + missing + u"' konnte nicht ge\u00F6ffnet werden."},
      {Code::kGetRegisteredVMsFailed,
       [&] {
         AutoRef<SafeVMCollection> list;
         return server.Query<VirtualWorkstation>()->GetRegisteredVMs(Wide(dir_), {}, u"x", list);
       },
       u"Failed to obtain the list of registered virtual machines.",
       u"Die Liste der registrierten virtuellen Maschinen konnte nicht abgerufen werden."},
      {Code::kCreateVMFailed, [&] { return server->CreateVM(Wide(dir_ + "/none"), u"x", 0, vm); },
       u"Failed to create virtual machine '" + Wide(dir_ + "/none") + u"'.",
       u"Die virtuelle Maschine '" + Wide(dir_ + "/none") + u"' konnte nicht erstellt werden."},
      {Code::kDeleteVMFailed, [&] { return server->RemoveVM(missing); }, u"Failed to delete the virtual machine.",
       u"Die virtuelle Maschine konnte nicht gel\u00F6scht werden."},
      {Code::kPropertyNotSupported, [&] { return server.Query<PropertySet>()->SetProperty(u"Name", u"x"); },
       u"Property 'Name' is not supported.", u"Die Eigenschaft 'Name' wird nicht unterst\u00FCtzt."},
      {Code::kCollectionIndexInvalid, [&] { return empty->GetItem(0, vm); },
       u"Cannot obtain virtual machines by the given index.",
       u"Mit dem angegebenen Index k\u00F6nnen keine virtuellen Maschinen abgerufen werden."},
      {Code::kCollectionIndexInvalid, [&] { return disks->GetItem(1, disk); },
       u"Collection does not contain an item with the index.",
       u"Die Sammlung enth\u00E4lt kein Element mit diesem Index."},
      {Code::kAccessHardDiskFailed, [&] { return opened->IO(Fdisk::kIoWrite, buffer.data(), 1, 1); },
       u"Failed to get access to hard disk 'boot_dummy'.",
       u"Auf die Festplatte 'boot_dummy' konnte nicht zugegriffen werden."},
      {Code::kNotImplemented, [&] { return dummy->ResizeHardDisk(0, 0, 0, 1); }, u"Not implemented.",
       u"Nicht implementiert."},
      {Code::kHddNotFoundByAddress, [&] { return dummy->RemoveHardDisk(1, 0, 0, false); },
       u"Failed to find the hard disk drive by its address.",
       u"Das Festplattenlaufwerk wurde \u00FCber seine Adresse nicht gefunden."},
      {Code::kCreateObjectFailed,
       [&] { return server.Query<ObjectManager>()->CreateObject(u"link", u"<link/>", object); },
       u"Failed to create the object.", u"Das Objekt konnte nicht erstellt werden."},
      {Code::kGetObjectFailed, [&] { return server.Query<ObjectManager>()->GetObject(u"nobody", object); },
       u"Failed to obtain object 'nobody'.", u"Das Objekt 'nobody' konnte nicht abgerufen werden."},
      {Code::kInvalidSectorSize, [&] { return dummy->AddHardDisk(u"d", 0, 0, 1, 1 << 20, 0, 0, 0, disk); },
       u"Invalid sector size.", u"Ung\u00FCltige Sektorgr\u00F6\u00DFe."},
  };
  for (const char* language : {"en", "de"}) {
    ResourceApi::SetLanguage(language);
    for (const Case& c : cases) {
      const Common::Error error = c.call();
      ASSERT_EQ(error.Code(), c.code) << Describe(error);
      const std::u16string text = Common::FormatErrorMessage(error);
      EXPECT_EQ(text, language[0] == 'e' ? c.english : c.german) << std::hex << c.code;
    }
  }
}

}  // namespace
