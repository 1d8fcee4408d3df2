// Demonstration host: loads the plug-in as an agent would, opens the server,
// shows its properties and a dummy machine, and what a refused request looks
// like in the current language. It touches no file.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "hvplug/entry.h"
#include "hvplug/resource_api.h"
#include "hvplug/virtual_machine_disk.h"

namespace {

std::string ToUtf8(const std::u16string& text) { return Common::Utf16ToUtf8(text); }

void PrintError(const char* what, const Common::Error& error) {
  std::printf("%s:\n", what);
  for (Common::Error e = error; e.IsFailure(); e = e.Cause())
    std::printf("  0x%06X %s (%s, %s:%u)\n", e.Code(), ToUtf8(e.Message()).c_str(), e.Function(), e.Source(), e.Line());
}

void ShowProperties(VirtualWareRaw::SafeVirtualServer& server) {
  auto properties =
      Processor::AutoRef<VirtualWareRaw::SafeVirtualServer>::Share(&server).Query<VirtualWareRaw::PropertySet>();
  VirtualWareRaw::TextList names;
  if (!properties || properties->GetPropertyNames(names)) return;
  for (const std::u16string& name : names) {
    std::u16string value;
    VirtualWareRaw::TextList values;
    if (!properties->GetProperty(name, value)) {
      std::printf("  %s = %s\n", ToUtf8(name).c_str(), ToUtf8(value).c_str());
    } else if (!properties->GetProperty(name, values)) {
      std::string joined;
      for (const std::u16string& item : values) joined += (joined.empty() ? "" : ", ") + ToUtf8(item);
      std::printf("  %s = [%s]\n", ToUtf8(name).c_str(), joined.c_str());
    }
  }
}

// A dummy machine lives in memory only: its disk keeps one first sector.
bool ShowDummyMachine(VirtualWareRaw::SafeVirtualServer& server) {
  auto objects =
      Processor::AutoRef<VirtualWareRaw::SafeVirtualServer>::Share(&server).Query<VirtualWareRaw::ObjectManager>();
  Processor::AutoRef<Processor::Interface> object;
  Common::Error error = objects->CreateObject(u"VirtualMachine", u"", object);
  auto vm = object.Query<VirtualWareRaw::SafeVM>();
  Processor::AutoRef<VirtualWareRaw::SafeHardDisk> disk;
  Processor::AutoRef<VirtualWareRaw::SafeRawHardDisk> raw;
  std::shared_ptr<VirtualMachineDiskEx> sectors;
  if (!error) error = vm->AddHardDisk(u"demo", 0, 0, 0, 8u << 20, 512, 0, 0, disk);
  if (!error) error = disk->GetRawDisk(raw);
  if (!error) error = raw->GetDisk(sectors);
  std::vector<uint8_t> mbr(512, 0), back(2 * 512, 0xFF);
  mbr[510] = 0x55, mbr[511] = 0xAA;
  if (!error) error = sectors->IO(Fdisk::kIoWrite, mbr.data(), 0, 1);
  if (!error) error = sectors->IO(Fdisk::kIoRead, back.data(), 0, 2);
  if (error) {
    PrintError("Dummy machine", error);
    return false;
  }
  std::u16string id;
  vm.Query<VirtualWareRaw::PropertySet>()->GetProperty(u"ID", id);
  const Fdisk::Geometry& geometry = sectors->GetGeometry();
  std::printf("Dummy machine %s: disk of %llu sectors (%llu/%u/%u), signature %02X%02X, sector 1 %s\n",
              ToUtf8(id).c_str(), static_cast<unsigned long long>(sectors->GetSectorCount()),
              static_cast<unsigned long long>(geometry.cylinders), geometry.highestHead + 1u, geometry.sectorsPerTrack,
              back[510], back[511], back[512] == 0 ? "zero" : "not zero");
  const Common::Error removed = server.RemoveVM(id);
  if (removed) PrintError("Removing the dummy machine", removed);
  return !removed;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = "libhvplug.so";
  if (argc > 1)
    library = argv[1];
  else if (const char* slash = std::strrchr(argv[0], '/'))
    library = std::string(static_cast<const char*>(argv[0]), slash) + "/../lib/libhvplug.so";

  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "hvdemo: %s\n", dlerror());
    return 1;
  }
  auto open = reinterpret_cast<SafeOpenVirtualServerFn>(dlsym(module, "SafeOpenVirtualServer"));
  if (!open) {
    std::fprintf(stderr, "hvdemo: no SafeOpenVirtualServer in %s\n", library.c_str());
    return 1;
  }
  int status = 0;
  {
    Common::Error result;
    Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> server;
    open(result, VirtualWareRaw::SERVER_TYPE_MS_VIRTUAL_PC, server);
    if (result.IsFailure() || !server) {
      PrintError("Opening the Virtual PC server failed", result);
      status = 1;
    } else {
      std::u16string name;
      uint32_t type = 0;
      server->GetServerName(name);
      server->GetServerType(type);
      std::printf("Opened server \"%s\", type %u\n", ToUtf8(name).c_str(), type);
      ShowProperties(*server);
      if (!ShowDummyMachine(*server)) status = 1;
    }

    std::printf("Language: %s\n", ResourceApi::GetLanguage());
    Processor::AutoRef<VirtualWareRaw::SafeVirtualServer> other;
    open(result, 6, other);
    PrintError("Asking for server type 6 (not supported)", result);
    if (result.Code() != 0x530069) status = 1;
  }
  dlclose(module);
  return status;
}
