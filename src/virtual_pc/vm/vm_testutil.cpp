#include "virtual_pc/vm/vm_testutil.h"

#include <unistd.h>

#include "core/common/error_codes.h"
#include "hvplug/resource_api.h"
#include "thrown.h"
#include "virtual_pc/vm/vm_template.h"

namespace VmTest {
namespace {

using HvTest::Thrown;

// Machines take their template from the built plug-in's archive.
class TemplateEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string dir;
    if (const char* env = std::getenv("HVPLUG_LIB_DIR")) {
      dir = env;
    } else {
      char self[4096];
      const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
      const std::string exe(self, n > 0 ? n : 0);
      dir = exe.substr(0, exe.rfind('/')) + "/../lib";
    }
    const std::u16string path = Common::Utf8ToUtf16(dir + "/libhvplug.so");
    module_ = ResourceApi::OpenModule(path.c_str());
    VirtualPC::SetTemplateModule(module_);
  }
  void TearDown() override {
    VirtualPC::SetTemplateModule(nullptr);
    if (module_) ResourceApi::CloseModule(module_);
  }

 private:
  ResourceApi::ModuleHandle* module_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const gTemplate =
    ::testing::AddGlobalTestEnvironment(new TemplateEnvironment());

}  // namespace

std::vector<uint32_t> Codes(const Common::Error& error) {
  std::vector<uint32_t> codes;
  for (Common::Error e = error; e.IsFailure(); e = e.Cause()) codes.push_back(e.Code());
  return codes;
}

AutoRef<SafeVM> Create(const VirtualPC::HostAccess& host, const std::u16string& location, const std::u16string& name) {
  AutoRef<SafeVM> vm;
  const Common::Error error = Thrown([&] { vm = VirtualPC::CreateMSVirtualPCVirtualMachine(host, location, name, 0); });
  EXPECT_TRUE(error.IsSuccess()) << Common::DescribeErrorChain(error);
  return vm;
}

AutoRef<SafeVM> Open(const VirtualPC::HostAccess& host, const std::u16string& path) {
  AutoRef<SafeVM> vm;
  const Common::Error error = Thrown([&] { vm = VirtualPC::OpenMSVirtualPCVM(host, path); });
  EXPECT_TRUE(error.IsSuccess()) << Common::DescribeErrorChain(error);
  return vm;
}

std::u16string Property(const AutoRef<SafeVM>& vm, const std::u16string& name) {
  std::u16string value;
  const Common::Error error = vm.Query<PropertySet>()->GetProperty(name, value);
  EXPECT_TRUE(error.IsSuccess()) << Common::Utf16ToUtf8(name) << ": " << Common::DescribeErrorChain(error);
  return value;
}

Common::Error SetProperty(const AutoRef<SafeVM>& vm, const std::u16string& name, const std::u16string& value) {
  return vm.Query<PropertySet>()->SetProperty(name, value);
}

Common::Error Close(const AutoRef<SafeVM>& vm) { return vm.Query<SafeVMAccess>()->Close(); }
Common::Error SetAccess(const AutoRef<SafeVM>& vm, uint32_t flags) {
  return vm.Query<SafeVMAccess>()->SetAccessMode(flags);
}

std::vector<DiskInfo> ListDisks(const AutoRef<SafeVM>& vm, Common::Error* error) {
  std::vector<DiskInfo> list;
  AutoRef<SafeHardDiskCollection> disks;
  Common::Error result = vm->GetHardDisks(disks);
  if (error) *error = result;
  if (result) {
    EXPECT_TRUE(error) << Common::DescribeErrorChain(result);
    return list;
  }
  uint32_t count = 0;
  EXPECT_TRUE(disks->GetCount(count).IsSuccess());
  for (uint32_t i = 0; i < count; ++i) {
    AutoRef<SafeHardDisk> disk;
    DiskInfo info{};
    EXPECT_TRUE(disks->GetItem(i, disk).IsSuccess());
    disk->GetFileName(info.file);
    disk->GetBus(info.bus);
    disk->GetController(info.controller);
    disk->GetDevice(info.device);
    list.push_back(info);
  }
  AutoRef<SafeHardDisk> beyond;
  EXPECT_EQ(disks->GetItem(count, beyond).Code(), Code::kCollectionIndexInvalid);
  return list;
}

AutoRef<SafeHardDisk> DiskAt(SafeVM& vm, uint32_t index) {
  AutoRef<SafeHardDiskCollection> disks;
  AutoRef<SafeHardDisk> disk;
  Common::Error error = vm.GetHardDisks(disks);
  if (!error) error = disks->GetItem(index, disk);
  EXPECT_FALSE(error) << Common::DescribeErrorChain(error);
  return disk;
}

std::shared_ptr<VirtualMachineDiskEx> SectorDisk(const AutoRef<SafeHardDisk>& disk) {
  AutoRef<SafeRawHardDisk> raw;
  std::shared_ptr<VirtualMachineDiskEx> sectors;
  EXPECT_TRUE(disk->GetRawDisk(raw).IsSuccess());
  const Common::Error error = raw->GetDisk(sectors);
  EXPECT_TRUE(error.IsSuccess()) << Common::DescribeErrorChain(error);
  return sectors;
}

std::string Utf16Le(const std::string& utf8, bool byteOrderMark) {
  std::string bytes = byteOrderMark ? "\xFF\xFE" : "";
  for (char16_t c : Common::Utf8ToUtf16(utf8)) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  return bytes;
}

std::optional<std::u16string> ValueAt(Configuration& config, const std::string& path, const char* attribute) {
  std::u16string value;
  const bool found = attribute ? config.GetAttribute(path, attribute, value) : config.GetValue(path, value);
  return found ? std::optional(value) : std::nullopt;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

}  // namespace VmTest
