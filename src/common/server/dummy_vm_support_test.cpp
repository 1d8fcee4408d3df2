// Dummy machines, aliases and dummy disks over a support whose checks are
// recorded instead of touching files.
#include "common/server/dummy_vm_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/common/error.h"
#include "hvplug/virtual_machine_disk.h"
#include "processor/runtime.h"

namespace {

using Processor::AutoRef;
using VirtualWareRaw::DummyVMSupport;

class RecordingSupport final : public DummyVMSupport {
 public:
  uint32_t GetServerType() const override { return 7; }
  void CheckAndFillDiskParameters(DiskParameters& params) override {
    params.Heads = 15;
    params.SectorsPerTrack = 63;
    params.Size -= params.Size % params.SectorSize;
  }
  void CheckVirtualMachineParameters(const VMParameters& params) override {
    checks.push_back(params);
    if (params.Name == u"refused") HV_THROW(Code::kVMExists, Msg::kVMExists, "CheckMSVPCVirtualMachineParameters");
  }
  std::vector<VMParameters> checks;
};

class DummyTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUILLON_SAFE_ASSERT", "quiet", 1); }

  AutoRef<VirtualWareRaw::SafeVM> NewVM(const std::u16string& description = {}) {
    AutoRef<Processor::Interface> object;
    Common::Error error = support_->CreateObject(u"VirtualMachine", description, object);
    EXPECT_FALSE(error) << Common::DescribeErrorChain(error);
    return object.Query<VirtualWareRaw::SafeVM>();
  }
  static std::u16string Property(const AutoRef<VirtualWareRaw::SafeVM>& vm, const std::u16string& name) {
    std::u16string value;
    EXPECT_FALSE(vm.Query<VirtualWareRaw::PropertySet>()->GetProperty(name, value)) << Common::Utf16ToUtf8(name);
    return value;
  }
  Common::Error Alias(const std::u16string& alias, const std::u16string& id) {
    AutoRef<Processor::Interface> none;
    return support_->CreateObject(u"Alias", u"<link><alias>" + alias + u"</alias><id>" + id + u"</id></link>", none);
  }

  Processor::RefPtr<RecordingSupport> support_ =
      Processor::RefPtr<RecordingSupport>::Adopt(Processor::CreateObject<RecordingSupport>());
};

TEST_F(DummyTest, MachinesAreFoundByIdAndAliasUntilRemoved) {
  AutoRef<VirtualWareRaw::SafeVM> x = NewVM(), y = NewVM();
  ASSERT_TRUE(x && y);
  const std::u16string idX = Property(x, u"ID"), idY = Property(y, u"ID");
  EXPECT_EQ(idX.size(), 36u);
  EXPECT_NE(idX, idY);
  EXPECT_NE(idX, Property(x, u"UUID"));
  EXPECT_EQ(support_->FindVM(idX).Get(), x.Get());

  ASSERT_FALSE(Alias(u"web", idX));
  AutoRef<Processor::Interface> found;
  ASSERT_FALSE(support_->GetObject(u"web", found));
  EXPECT_EQ(found.Query<VirtualWareRaw::SafeVM>().Get(), x.Get());
  // Registering the alias again moves it.
  ASSERT_FALSE(Alias(u"web", idY));
  EXPECT_EQ(support_->FindVM(u"web").Get(), y.Get());
  // An alias may not hide a machine ID.
  EXPECT_EQ(Alias(idX, idY).Code(), Code::kCreateObjectFailed);

  // Removing through the alias removes the machine it names.
  EXPECT_FALSE(support_->RemoveVM(u"web"));
  EXPECT_FALSE(support_->FindVM(idY));
  EXPECT_EQ(support_->GetObject(u"web", found).Code(), Code::kGetObjectFailed);
  const Common::Error again = support_->RemoveVM(idY);
  EXPECT_EQ(again.Code(), Code::kDeleteVMFailed);
  EXPECT_EQ(again.Message(), u"Failed to delete the virtual machine.");
  AutoRef<VirtualWareRaw::SafeVM> none;
  const Common::Error missing = support_->GetRegisteredVMInternal(u"nothing", none);
  EXPECT_EQ(missing.Code(), Code::kOpenVMFailed);
  EXPECT_EQ(Common::FormatErrorMessage(missing), u"Failed to find registered virtual machine 'nothing'.");
  const Common::Error unknown = support_->GetObject(u"nothing", found);
  EXPECT_EQ(Common::FormatErrorMessage(unknown), u"Failed to obtain object 'nothing'.");

  // A removed machine still held by a caller no longer reaches the support.
  AutoRef<VirtualWareRaw::SafeHardDisk> disk;
  EXPECT_TRUE(y->AddHardDisk(u"d", 0, 0, 0, 1 << 20, 512, 0, 0, disk).IsFailure());
  EXPECT_TRUE(y.Query<VirtualWareRaw::PropertySet>()->SetProperty(u"Name", u"n").IsFailure());
}

TEST_F(DummyTest, BadAliasDocumentsRegisterNothing) {
  const std::u16string id = Property(NewVM(), u"ID");
  AutoRef<Processor::Interface> none;
  for (const char16_t* document :
       {u"<link><alias>a</alias></link>", u"<link><id>x</id></link>", u"<links><alias>a</alias><id>x</id></links>",
        u"<link><alias></alias><id>x</id></link>", u"<link><alias>a</alias>", u""}) {
    const Common::Error error = support_->CreateObject(u"Alias", document, none);
    EXPECT_EQ(error.Code(), Code::kCreateObjectFailed) << Common::Utf16ToUtf8(document);
    EXPECT_EQ(error.Message(), u"Failed to create the object.");
  }
  EXPECT_FALSE(support_->FindVM(u"a"));
  // A parse failure is kept as the cause.
  EXPECT_TRUE(support_->CreateObject(u"Alias", u"<link><alias>a</alias>", none).Cause().IsFailure());
  EXPECT_FALSE(Alias(u"a", id));
  EXPECT_TRUE(support_->FindVM(u"a"));
}

TEST_F(DummyTest, PropertiesAreCheckedTogetherAndKeptOnlyWhenAccepted) {
  AutoRef<VirtualWareRaw::SafeVM> vm = NewVM(
      u"<VirtualMachine><Name>web01</Name><Storage>/srv/vms</Storage><Login>admin</Login>"
      u"<Password>secret</Password></VirtualMachine>");
  ASSERT_TRUE(vm);
  ASSERT_EQ(support_->checks.size(), 1u);
  const auto& check = support_->checks[0];
  EXPECT_EQ((std::vector{check.Name, check.Storage, check.Login, check.Password}),
            (std::vector<std::u16string>{u"web01", u"/srv/vms", u"admin", u"secret"}));
  EXPECT_EQ(Property(vm, u"Login"), u"admin");

  auto properties = vm.Query<VirtualWareRaw::PropertySet>();
  std::u16string value;
  EXPECT_EQ(properties->GetProperty(u"Password", value).Code(), Code::kPropertyNotSupported);
  VirtualWareRaw::TextList names;
  EXPECT_FALSE(properties->GetPropertyNames(names));
  EXPECT_EQ(names, (VirtualWareRaw::TextList{u"ID", u"Login", u"Name", u"Storage", u"UUID"}));

  // A refused change leaves the machine as it was.
  EXPECT_EQ(properties->SetProperty(u"Name", u"refused").Code(), Code::kVMExists);
  EXPECT_EQ(Property(vm, u"Name"), u"web01");
  EXPECT_FALSE(properties->SetProperty(u"Storage", VirtualWareRaw::TextList{u"/other", u"root", u"pw"}));
  EXPECT_EQ(support_->checks.back().Storage, u"/other");
  EXPECT_EQ(support_->checks.back().Login, u"root");

  for (const char16_t* name : {u"ID", u"UUID", u"Login", u"Password", u"name"}) {
    const Common::Error error = properties->SetProperty(name, u"x");
    EXPECT_EQ(error.Code(), Code::kPropertyNotSupported);
    EXPECT_STREQ(error.Function(), "SetProperty");
  }
  EXPECT_EQ(Common::FormatErrorMessage(properties->SetProperty(u"ID", u"x")), u"Property 'ID' is not supported.");
  EXPECT_EQ(properties->SetProperty(u"Name", VirtualWareRaw::TextList{u"a", u"b"}).Code(), Code::kPropertyNotSupported);
  EXPECT_EQ(properties->GetProperty(u"Name", names).Code(), Code::kPropertyNotSupported);
}

TEST_F(DummyTest, BadDescriptionsCreateNoMachine) {
  AutoRef<Processor::Interface> object;
  for (const char16_t* description :
       {u"<VirtualMachine><ID>x</ID></VirtualMachine>", u"<VirtualMachine><Login>a</Login></VirtualMachine>",
        u"<Machine><Name>a</Name></Machine>", u"<VirtualMachine><Name>refused</Name></VirtualMachine>", u"not xml"}) {
    const Common::Error error = support_->CreateObject(u"VirtualMachine", description, object);
    EXPECT_EQ(error.Code(), Code::kCreateObjectFailed) << Common::Utf16ToUtf8(description);
    EXPECT_FALSE(object);
  }
  // The refusal of the check is the cause.
  EXPECT_EQ(support_->CreateObject(u"VirtualMachine", u"<VirtualMachine><Name>refused</Name></VirtualMachine>", object)
                .Cause()
                .Code(),
            Code::kVMExists);
}

TEST_F(DummyTest, DiskReadsTheStoredFirstSectorAndZeros) {
  AutoRef<VirtualWareRaw::SafeVM> vm = NewVM();
  AutoRef<VirtualWareRaw::SafeHardDisk> first, second;
  ASSERT_FALSE(vm->AddHardDisk(u"boot", 1, 0, 2, 64 * 512 + 100, 512, 99, 99, first));
  ASSERT_FALSE(vm->AddHardDisk(u"data", 0, 1, 0, 1 << 20, 512, 0, 0, second));
  uint32_t bus = 9, controller = 9, device = 9;
  EXPECT_FALSE(first->GetBus(bus) || first->GetController(controller) || first->GetDevice(device));
  EXPECT_EQ(bus * 100 + controller * 10 + device, 102u);

  AutoRef<VirtualWareRaw::SafeRawHardDisk> raw;
  ASSERT_FALSE(first->GetRawDisk(raw));
  std::shared_ptr<VirtualMachineDiskEx> disk, again;
  ASSERT_FALSE(raw->GetDisk(disk));
  ASSERT_FALSE(raw->GetDisk(again));
  EXPECT_EQ(disk, again);
  EXPECT_EQ(disk->GetSectorCount(), 64u);  // the size went down to whole sectors
  EXPECT_EQ(disk->GetGeometry().cylinders, 63u / 16 / 63);
  EXPECT_EQ(disk->GetAdapterType(), 1u);

  std::vector<uint8_t> sector(512, 0xA5), buffer(8 * 512, 0xFF);
  ASSERT_FALSE(disk->IO(Fdisk::kIoWrite, sector.data(), 0, 1));
  ASSERT_FALSE(disk->IO(Fdisk::kIoRead, buffer.data(), 0, 8));
  EXPECT_TRUE(std::equal(sector.begin(), sector.end(), buffer.begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 512, buffer.end(), [](uint8_t b) { return b == 0; }));
  ASSERT_FALSE(disk->IO(Fdisk::kIoRead, buffer.data(), 1, 8));
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; }));

  // Reads end below the last sector; writes reach the first sector alone.
  std::vector<uint8_t> all(64 * 512);
  EXPECT_FALSE(disk->IO(Fdisk::kIoRead, all.data(), 0, 62));
  EXPECT_FALSE(disk->IO(Fdisk::kIoRead, all.data(), 60, 2));
  for (auto [mode, lba, count] : {std::tuple{Fdisk::kIoRead, 0u, 63u},
                                  {Fdisk::kIoRead, 63u, 1u},
                                  {Fdisk::kIoRead, 1u, ~0ull >> 1},
                                  {Fdisk::kIoWrite, 1u, 1u},
                                  {Fdisk::kIoWrite, 0u, 2u},
                                  {7u, 0u, 1u}}) {
    const Common::Error error = disk->IO(mode, all.data(), lba, count);
    EXPECT_EQ(error.Code(), Code::kAccessHardDiskFailed) << mode << " " << lba << " " << count;
    EXPECT_EQ(Common::FormatErrorMessage(error), u"Failed to get access to hard disk 'boot_dummy'.");
  }

  AutoRef<VirtualWareRaw::SafeHardDiskCollection> disks;
  ASSERT_FALSE(vm->GetHardDisks(disks));
  uint32_t count = 0;
  EXPECT_FALSE(disks->GetCount(count));
  EXPECT_EQ(count, 2u);
  AutoRef<VirtualWareRaw::SafeHardDisk> item;
  const Common::Error past = disks->GetItem(2, item);
  EXPECT_EQ(past.Code(), Code::kCollectionIndexInvalid);
  EXPECT_EQ(past.Message(), u"Collection does not contain an item with the index.");

  EXPECT_EQ(vm->RemoveHardDisk(1, 0, 0, false).Code(), Code::kHddNotFoundByAddress);
  ASSERT_FALSE(vm->RemoveHardDisk(1, 0, 2, true));
  ASSERT_FALSE(vm->GetHardDisks(disks));
  ASSERT_FALSE(disks->GetItem(0, item));
  std::u16string name;
  EXPECT_FALSE(item->GetFileName(name));
  EXPECT_EQ(name, u"data");
  // The removed disk stays usable by whoever holds it.
  EXPECT_FALSE(disk->IO(Fdisk::kIoRead, buffer.data(), 0, 1));

  EXPECT_EQ(vm->AddExistingHardDisk(u"x", 0, 0, 0, 0, item).Code(), Code::kNotImplemented);
  EXPECT_EQ(vm->ResizeHardDisk(0, 1, 0, 1 << 21).Message(), u"Not implemented.");
}

TEST(DummyDiskCylinders, NeedsAGeometry) {
  DummyVMSupport::DiskParameters params;
  params.Size = 1 << 20;
  params.SectorSize = 512;
  EXPECT_EQ(VirtualWareRaw::DummyDiskCylinders(params), 0u);  // no geometry: no division by zero
  params.Heads = 254;
  params.SectorsPerTrack = 63;
  params.Size = 16065ull * 3 * 512;
  EXPECT_EQ(VirtualWareRaw::DummyDiskCylinders(params), 2u);
}

}  // namespace
