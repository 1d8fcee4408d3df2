// Machine files written by other programs: UTF-16, Windows paths, CD drives,
// sections the machine never reads, and files that are broken.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/common/error_codes.h"
#include "core/fdisk/virtual/virtual_disks.h"
#include "core/file/unix/posix_dir.h"
#include "hvplug/file_tracker.h"
#include "virtual_pc/config/configuration.h"
#include "virtual_pc/vm/vm_layout.h"
#include "virtual_pc/vm/vm_testutil.h"

namespace {

using namespace VmTest;
using ServerTest::Scratch;

// Tab-indented with CR LF line ends, as such files are.
std::string ForeignMachine(const std::string& pciBus, const std::string& ramSize = "512") {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
      "<!-- Written by another program -->\n"
      "<preferences>\n"
      "\t<version type=\"string\">2.0</version>\n"
      "\t<hardware>\n"
      "\t\t<memory>\n"
      "\t\t\t<ram_size type=\"integer\">" +
      ramSize +
      "</ram_size>\n"
      "\t\t</memory>\n" +
      pciBus +
      "\t\t<bios><cmos type=\"bytes\">00FF10</cmos></bios>\n"
      "\t</hardware>\n"
      "\t<integration><microsoft><mouse><allow type=\"boolean\">true</allow></mouse></microsoft></integration>\n"
      "</preferences>\n";
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

std::string Location(int id, int driveType, const std::string& pathname) {
  return "<location id=\"" + std::to_string(id) + "\">\n<drive_type type=\"integer\">" + std::to_string(driveType) +
         "</drive_type>\n<pathname>" + pathname + "</pathname>\n</location>\n";
}

std::string Absolute(const std::string& path) { return "<absolute type=\"string\">" + path + "</absolute>"; }
std::string Relative(const std::string& path) { return "<relative type=\"string\">" + path + "</relative>"; }

const std::string kBuses =
    "\t\t<pci_bus>\n"
    "\t\t\t<ethernet_adapter><controller_count type=\"integer\">1</controller_count></ethernet_adapter>\n"
    "\t\t\t<ide_adapter>\n"
    "\t\t\t\t<ide_controller id=\"0\">\n" +
    Location(0, 1, Absolute("C:\\Users\\me\\Virtual Machines\\XP\\XP.vhdx") + Relative(".\\XP.vhdx")) +
    Location(1, 1, Relative(".\\sub\\data.vhdx")) +
    "\t\t\t\t</ide_controller>\n"
    "\t\t\t\t<ide_controller id=\"1\">\n" +
    Location(0, 2, Absolute("")) +
    "\t\t\t\t</ide_controller>\n"
    "\t\t\t</ide_adapter>\n"
    "\t\t\t<scsi_adapter><scsi_controller id=\"0\">\n" +
    Location(6, 1, Absolute("D:\\Old Place\\moved.vhdx")) +
    "\t\t\t</scsi_controller></scsi_adapter>\n"
    "\t\t</pci_bus>\n";

class ForeignMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((scratch_ / "XP").c_str(), 0755);
    mkdir((scratch_ / "XP/sub").c_str(), 0755);
    posix_dir dir(scratch_ / "XP");
    for (const char16_t* name : {u"XP.vhdx", u"sub/data.vhdx", u"moved.vhdx"}) {
      HV_OK(VirtualDisks::CreateVhdxDisk(dir, name, 2048, false));
    }
  }
  // Writes the machine file and opens it.
  AutoRef<SafeVM> Machine(const std::string& bytes) {
    ServerTest::WriteFile(vmc_, bytes);
    return Open(host_, Common::Utf8ToUtf16(vmc_));
  }
  std::u16string InDir(const std::string& name) const { return Common::Utf8ToUtf16(scratch_ / ("XP/" + name)); }

  Scratch scratch_;
  std::string vmc_ = scratch_ / "XP/Windows XP.vmc";
  VirtualPC::HostAccess host_{ServerTest::AgentRoot(), {}};
};

TEST_F(ForeignMachineTest, ListsHardDisksOnlyAndResolvesWindowsPaths) {
  for (const std::string& bytes : {Utf16Le(ForeignMachine(kBuses)), ForeignMachine(kBuses)}) {
    AutoRef<SafeVM> vm = Machine(bytes);
    EXPECT_EQ(Property(vm, u"Memory"), u"512");
    EXPECT_EQ(Property(vm, u"Name"), u"Windows XP");
    EXPECT_EQ(ListDisks(vm),
              (std::vector<DiskInfo>{
                  {InDir("XP.vhdx"), 0, 0, 0}, {InDir("sub/data.vhdx"), 0, 0, 1}, {InDir("moved.vhdx"), 1, 0, 6}}));
    AutoRef<SafeHardDisk> disk;
    // The CD drive's place is taken and it cannot be removed as a disk.
    EXPECT_EQ(vm->AddExistingHardDisk(u"moved.vhdx", 0, 1, 0, 0, disk).Code(), Code::kBusDeviceInUse);
    EXPECT_EQ(vm->RemoveHardDisk(0, 1, 0, true).Code(), Code::kRemoveHardDiskFailed);
    HV_OK(Close(vm));
    EXPECT_EQ(ServerTest::ReadFile(vmc_), bytes);
  }
}

TEST_F(ForeignMachineTest, ChangesKeepEverythingTheMachineDoesNotRead) {
  const std::string original = Utf16Le(ForeignMachine(kBuses));
  AutoRef<SafeVM> vm = Machine(original);
  AutoRef<SafeHardDisk> disk;
  HV_OK(vm->AddHardDisk(u"new", 0, 1, 1, 1 << 20, 512, 0, 0, disk));
  HV_OK(vm->RemoveHardDisk(0, 0, 1, false));
  HV_OK(SetProperty(vm, u"Memory", u"1073741824"));
  HV_OK(Close(vm));

  // Read both files and compare, element by element, what was not addressed.
  posix_dir dir(scratch_ / "XP");
  VirtualWareRaw::ConfigurationParserImpl before{std::string_view(original)};
  auto file = dir.Open(u"Windows XP.vmc", O_RDONLY, false, 0);
  ASSERT_TRUE(file);
  VirtualWareRaw::ConfigurationParserImpl after(*file);
  for (const char* path :
       {"preferences.version", "preferences.hardware.bios", "preferences.integration",
        "preferences.hardware.pci_bus.ethernet_adapter", "preferences.hardware.pci_bus.scsi_adapter"}) {
    const Xml::Tag* a = before.OpenTag(path);
    const Xml::Tag* b = after.OpenTag(path);
    ASSERT_TRUE(a && b) << path;
    EXPECT_TRUE(Xml::SameTree(*a, *b)) << path;
  }
  const Xml::Tag* cd = after.OpenTag("preferences.hardware.pci_bus.ide_adapter.ide_controller", "id", u"1");
  ASSERT_TRUE(cd);
  ASSERT_EQ(cd->Children.size(), 2u);
  EXPECT_TRUE(Xml::SameTree(
      *cd->Children[0],
      *before.OpenTag("preferences.hardware.pci_bus.ide_adapter.ide_controller", "id", u"1")->Children[0]));
  EXPECT_EQ(VirtualPC::ChildValue(*cd->Children[1], "drive_type"), u"1");
  EXPECT_EQ(VirtualPC::ChildValue(*cd->Children[1], "pathname.relative"), u"new.vhdx");

  AutoRef<SafeVM> again = Open(host_, Common::Utf8ToUtf16(vmc_));
  EXPECT_EQ(Property(again, u"Memory"), u"1024");
  EXPECT_EQ(ListDisks(again),
            (std::vector<DiskInfo>{
                {InDir("XP.vhdx"), 0, 0, 0}, {InDir("new.vhdx"), 0, 1, 1}, {InDir("moved.vhdx"), 1, 0, 6}}));
}

// Each broken file gives a coded error naming the file, and is left as it was.
TEST_F(ForeignMachineTest, BrokenFilesAreRefusedAndLeftAlone) {
  const std::string controller = "\t\t\t\t<ide_controller id=\"0\">\n";
  const struct {
    const char* what;
    std::string bytes;
    std::vector<uint32_t> codes;
    const char* named;
    bool layout = false;  // the bus layout itself is broken
  } cases[] = {
      {"relative path leaving the folder",
       ForeignMachine("<pci_bus><ide_adapter>" + controller + Location(0, 1, Relative("..\\..\\etc\\disk.vhdx")) +
                      "</ide_controller></ide_adapter></pci_bus>"),
       {Code::kInvalidConfigFormat},
       "..\\..\\etc\\disk.vhdx"},
      {"Windows path whose file did not come along",
       ForeignMachine("<pci_bus><ide_adapter>" + controller + Location(0, 1, Absolute("C:\\VMs\\gone.vhdx")) +
                      "</ide_controller></ide_adapter></pci_bus>"),
       {Code::kAccessHardDiskFailed},
       "C:\\VMs\\gone.vhdx"},
      {"location without paths",
       ForeignMachine("<pci_bus><ide_adapter>" + controller + Location(0, 1, "") +
                      "</ide_controller></ide_adapter></pci_bus>"),
       {Code::kInvalidConfigFormat},
       ""},
      {"drive type that is no number",
       ForeignMachine("<pci_bus><ide_adapter>" + controller +
                      "<location id=\"0\"><drive_type type=\"integer\">hard</drive_type></location>"
                      "</ide_controller></ide_adapter></pci_bus>"),
       {Code::kInvalidConfigFormat},
       "ide_controller[0].location.drive_type"},
      {"no pci_bus", ForeignMachine(""), {Code::kInvalidConfigFormat}, "preferences.hardware.pci_bus", true},
      {"controller id twice",
       ForeignMachine("<pci_bus><ide_adapter>" + controller + "</ide_controller>" + controller +
                      "</ide_controller></ide_adapter></pci_bus>"),
       {Code::kInvalidConfigFormat},
       "preferences.hardware.pci_bus.ide_adapter.ide_controller",
       true},
      {"location id twice",
       ForeignMachine("<pci_bus><scsi_adapter><scsi_controller id=\"2\">" + Location(3, 1, Relative("a.vhdx")) +
                      Location(3, 1, Relative("b.vhdx")) + "</scsi_controller></scsi_adapter></pci_bus>"),
       {Code::kInvalidConfigFormat},
       "scsi_controller[2].location",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = Utf16Le(c.bytes);
    AutoRef<SafeVM> vm = Machine(bytes);
    Common::Error error;
    ListDisks(vm, &error);
    EXPECT_EQ(Codes(error), c.codes) << Common::DescribeErrorChain(error);
    const std::string message = Common::Utf16ToUtf8(Common::FormatErrorMessage(error));
    EXPECT_NE(message.find(c.named), std::string::npos) << message;
    if (c.codes[0] == Code::kInvalidConfigFormat && *c.named) {
      EXPECT_NE(message.find("Windows XP.vmc"), std::string::npos) << message;
    }
    // A file whose layout is broken takes no new disk either.
    if (c.layout) {
      AutoRef<SafeHardDisk> disk;
      EXPECT_EQ(vm->AddHardDisk(u"added", 1, 3, 3, 1 << 20, 512, 0, 0, disk).Code(), c.codes[0]);
      EXPECT_FALSE(ServerTest::Exists(scratch_ / "XP/added.vhdx"));
    }
    HV_OK(Close(vm));
    EXPECT_EQ(ServerTest::ReadFile(vmc_), bytes);
  }
}

TEST_F(ForeignMachineTest, MemoryThatIsNoNumberNamesTheKey) {
  const std::string bytes = Utf16Le(ForeignMachine(kBuses, "plenty"));
  AutoRef<SafeVM> vm = Machine(bytes);
  std::u16string value;
  const Common::Error error = vm.Query<PropertySet>()->GetProperty(u"Memory", value);
  EXPECT_EQ(Codes(error), (std::vector<uint32_t>{Code::kGetMemorySizeFailed, Code::kInvalidConfigFormat}));
  const std::string message = Common::Utf16ToUtf8(Common::FormatErrorMessage(error.Cause()));
  EXPECT_NE(message.find("preferences.hardware.memory.ram_size"), std::string::npos) << message;
  EXPECT_NE(message.find("plenty"), std::string::npos) << message;
  HV_OK(Close(vm));
  EXPECT_EQ(ServerTest::ReadFile(vmc_), bytes);
}

TEST_F(ForeignMachineTest, DisksAnswerChangeIdsThroughTheAgentsTracker) {
  const std::u16string state = Common::Utf8ToUtf16(scratch_ / "state");
  AutoRef<FileTracker> tracker;
  HV_OK(HvCreateFileTracker(state, tracker));
  HV_OK(HvTrackFile(state, InDir("XP.vhdx")));
  const std::string bytes = ForeignMachine(kBuses);
  ServerTest::WriteFile(vmc_, bytes);

  for (const bool withTracker : {false, true}) {
    const VirtualPC::HostAccess host{host_.root, withTracker ? tracker : AutoRef<FileTracker>()};
    AutoRef<SafeVM> vm = Open(host, Common::Utf8ToUtf16(vmc_));
    auto sectors = SectorDisk(DiskAt(*vm, 0));
    ASSERT_TRUE(sectors);
    std::u16string changeId;
    const Common::Error error = sectors->GetCurrentChangeID(changeId);
    if (withTracker) {
      EXPECT_TRUE(error.IsSuccess()) << Common::DescribeErrorChain(error);
      EXPECT_FALSE(changeId.empty());
    } else {
      EXPECT_EQ(error.Code(), Code::kFileTrackerNotFound);  // no tracker
    }
  }
}

}  // namespace

namespace {

using namespace VmTest;

// The sample machine files kept in the source tree.
std::string SampleDir() { return HV_SOURCE_DIR "/tests/data/vmc/"; }

TEST(SampleMachineTest, SamplesListTheirHardDisksAndKeepTheirCdDrives) {
  const struct {
    const char* file;
    std::vector<std::string> disks;  // created beside the machine file
    std::vector<DiskInfo> expected;  // file names relative to the machine folder
    uint32_t cdController, cdDevice;
  } samples[] = {
      {"tabbed_utf16.vmc", {"disk.vhdx"}, {{u"disk.vhdx", 0, 0, 0}}, 1, 0},
      {"spaced_utf8_bom.vmc", {"sub/disk.vhdx"}, {{u"sub/disk.vhdx", 0, 0, 0}}, 1, 0},
      {"plain_utf8.vmc", {"data.vhdx"}, {{u"data.vhdx", 1, 0, 0}}, 1, 1},
  };
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.file);
    const std::string bytes = ServerTest::ReadFile(SampleDir() + sample.file);
    ASSERT_FALSE(bytes.empty()) << "sample not found under " << SampleDir();
    ServerTest::Scratch scratch;
    mkdir((scratch / "sub").c_str(), 0755);
    posix_dir dir(scratch.path());
    for (const std::string& disk : sample.disks) {
      HV_OK(VirtualDisks::CreateVhdxDisk(dir, Common::Utf8ToUtf16(disk), 2048, false));
    }
    const std::string vmc = scratch / sample.file;
    ServerTest::WriteFile(vmc, bytes);
    const VirtualPC::HostAccess host{ServerTest::AgentRoot(), {}};
    std::vector<DiskInfo> expected = sample.expected;
    for (DiskInfo& info : expected) info.file = scratch.wpath() + u"/" + info.file;

    AutoRef<SafeVM> vm = Open(host, Common::Utf8ToUtf16(vmc));
    EXPECT_EQ(ListDisks(vm), expected);
    HV_OK(Close(vm));
    EXPECT_EQ(ServerTest::ReadFile(vmc), bytes);  // nothing changed, nothing written

    AutoRef<SafeHardDisk> disk;
    EXPECT_EQ(vm->AddHardDisk(u"cd", 0, sample.cdController, sample.cdDevice, 1 << 20, 512, 0, 0, disk).Code(),
              Code::kBusDeviceInUse);
    EXPECT_EQ(vm->RemoveHardDisk(0, sample.cdController, sample.cdDevice, true).Code(), Code::kRemoveHardDiskFailed);
    HV_OK(vm->AddHardDisk(u"extra", 1, 3, 14, 1 << 20, 4096, 0, 0, disk));
    HV_OK(Close(vm));
    vm.Reset();
    disk.Reset();
    AutoRef<SafeVM> again = Open(host, Common::Utf8ToUtf16(vmc));
    expected.push_back({scratch.wpath() + u"/extra.vhdx", 1, 3, 14});
    EXPECT_EQ(ListDisks(again), expected);
    HV_OK(again->RemoveHardDisk(1, 3, 14, true));
    EXPECT_FALSE(ServerTest::Exists(scratch / "extra.vhdx"));
    EXPECT_EQ(again->AddHardDisk(u"cd", 0, sample.cdController, sample.cdDevice, 1 << 20, 512, 0, 0, disk).Code(),
              Code::kBusDeviceInUse);
  }
}

}  // namespace
