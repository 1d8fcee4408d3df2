#include "plugin.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "agent_error.h"
#include "hvplug/entry.h"
#include "hvplug/file_services.h"

namespace Hvagent {

namespace {

using namespace VirtualWareRaw;

struct BusShape {
  uint32_t controllers, devices;
};
constexpr BusShape kBuses[] = {{2, 2}, {4, 15}};  // IDE, SCSI

std::u16string U16(const std::string& text) { return Common::Utf8ToUtf16(text); }
std::string U8(const std::u16string& text) { return Common::Utf16ToUtf8(text); }

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

std::string BusName(uint32_t bus) { return bus == 0 ? "ide" : bus == 1 ? "scsi" : std::to_string(bus); }

uint32_t BusNumber(const std::string& name) {
  if (name == "ide") return 0;
  if (name == "scsi") return 1;
  throw UsageError{"--bus takes ide or scsi, not '" + name + "'"};
}

Plugin::Plugin(const std::string& programPath, AutoRef<FileTracker> tracker) {
  std::vector<std::string> candidates;
  if (const char* dir = std::getenv("HVPLUG_LIB_DIR")) candidates.push_back(std::string(dir) + "/libhvplug.so");
  const std::string here = Folder(programPath);
  candidates.push_back(here + "/../lib/libhvplug.so");
  candidates.push_back(here + "/libhvplug.so");
  std::string failures;
  for (const std::string& candidate : candidates) {
    module_ = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_) break;
    failures += std::string(" ") + ::dlerror() + ";";
  }
  if (!module_) Fail(kPluginMissing, "Cannot load libhvplug.so:" + failures);
  auto open = reinterpret_cast<SafeOpenVirtualServerFn>(::dlsym(module_, "SafeOpenVirtualServer"));
  if (!open) Fail(kPluginMissing, "libhvplug.so has no SafeOpenVirtualServer.");
  Common::Error result;
  open(result, SERVER_TYPE_MS_VIRTUAL_PC, server_);
  Check(result, "Cannot open the Virtual PC server.");
  if (!server_) Fail(kPluginMissing, "The plug-in answered no server.");
  auto client = server_.Query<FileServicesClient>();
  if (!client) Fail(kPluginMissing, "The server takes no file services.");
  Check(client->SetFileServices(HostCreateFileServices("/", tracker)), "Cannot hand the file services over.");
}

// The plug-in stays loaded: error records it made may outlive the server,
// and their texts come from its code.
Plugin::~Plugin() { server_ = {}; }

AutoRef<SafeVM> Plugin::Open(const std::string& vmc, bool write) {
  AutoRef<SafeVM> vm;
  Check(server_->GetRegisteredVM(U16(AbsolutePath(vmc)), vm));
  if (auto access = vm.Query<SafeVMAccess>()) Check(access->SetAccessMode(write ? SafeVMAccess::kWriteAccess : 0));
  return vm;
}

std::string AbsolutePath(const std::string& path) {
  return std::filesystem::absolute(path).lexically_normal().string();
}

void MakeFolders(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) Fail(kIoFailed, "Cannot create the folder '" + folder + "'.", error.value());
}

std::vector<std::pair<std::string, std::string>> Properties(const AutoRef<SafeVM>& vm) {
  auto set = vm.Query<PropertySet>();
  TextList names;
  Check(set->GetPropertyNames(names));
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::u16string& name : names) {
    std::u16string value;
    Check(set->GetProperty(name, value));
    out.emplace_back(U8(name), U8(value));
  }
  return out;
}

std::string Property(const AutoRef<SafeVM>& vm, const std::string& name) {
  auto set = vm.Query<PropertySet>();
  std::u16string value;
  Check(set->GetProperty(U16(name), value));
  return U8(value);
}

void SetProperty(const AutoRef<SafeVM>& vm, const std::string& name, const std::string& value) {
  auto set = vm.Query<PropertySet>();
  Check(set->SetProperty(U16(name), U16(value)));
}

std::vector<MachineDisk> Disks(const AutoRef<SafeVM>& vm) {
  AutoRef<SafeHardDiskCollection> collection;
  Check(vm->GetHardDisks(collection));
  uint32_t count = 0;
  Check(collection->GetCount(count));
  std::vector<MachineDisk> out;
  for (uint32_t i = 0; i < count; ++i) {
    MachineDisk disk;
    Check(collection->GetItem(i, disk.disk));
    std::u16string file;
    Check(disk.disk->GetFileName(file));
    disk.file = U8(file);
    Check(disk.disk->GetBus(disk.place.bus));
    Check(disk.disk->GetController(disk.place.controller));
    Check(disk.disk->GetDevice(disk.place.device));
    out.push_back(std::move(disk));
  }
  return out;
}

std::shared_ptr<VirtualMachineDiskEx> OpenRaw(SafeHardDisk& disk) {
  AutoRef<SafeRawHardDisk> raw;
  Check(disk.GetRawDisk(raw));
  std::shared_ptr<VirtualMachineDiskEx> out;
  Check(raw->GetDisk(out));
  if (!out) Fail(kFailed, "The plug-in answered no disk.");
  return out;
}

void CloseMachine(const AutoRef<SafeVM>& vm) {
  if (auto access = vm.Query<SafeVMAccess>()) Check(access->Close());
}

DiskPlace FreePlace(const AutoRef<SafeVM>& vm, int bus, int controller, int device) {
  const std::vector<MachineDisk> disks = Disks(vm);
  auto used = [&](uint32_t b, uint32_t c, uint32_t d) {
    for (const MachineDisk& disk : disks) {
      if (disk.place.bus == b && disk.place.controller == c && disk.place.device == d) return true;
    }
    return false;
  };
  for (uint32_t b = 0; b < 2; ++b) {
    if (bus >= 0 && static_cast<uint32_t>(bus) != b) continue;
    for (uint32_t c = 0; c < kBuses[b].controllers; ++c) {
      if (controller >= 0 && static_cast<uint32_t>(controller) != c) continue;
      for (uint32_t d = 0; d < kBuses[b].devices; ++d) {
        if (device >= 0 && static_cast<uint32_t>(device) != d) continue;
        if (!used(b, c, d)) return {b, c, d};
      }
    }
  }
  Fail(kFailed, "No free place for a disk.");
}

}  // namespace Hvagent
