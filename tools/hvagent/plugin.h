// The plug-in as an agent reaches it: libhvplug.so loaded with dlopen, the
// server from SafeOpenVirtualServer, and the interfaces of include/hvplug.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hvplug/file_tracker.h"
#include "hvplug/virtual_machine_disk.h"
#include "hvplug/virtualware.h"

namespace Hvagent {

using Processor::AutoRef;

struct DiskPlace {
  uint32_t bus = 0;  // 0 IDE, 1 SCSI
  uint32_t controller = 0, device = 0;
};

std::string BusName(uint32_t bus);
uint32_t BusNumber(const std::string& name);  // throws UsageError

struct MachineDisk {
  DiskPlace place;
  std::string file;
  AutoRef<VirtualWareRaw::SafeHardDisk> disk;
};

class Plugin {
 public:
  // Loads the plug-in found beside the program (or in HVPLUG_LIB_DIR) and
  // hands it the file services; tracker may be null.
  Plugin(const std::string& programPath, AutoRef<VirtualWareRaw::FileTracker> tracker = {});
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  VirtualWareRaw::SafeVirtualServer& Server() { return *server_; }
  // Opens the machine of a .vmc file; write asks for write access.
  AutoRef<VirtualWareRaw::SafeVM> Open(const std::string& vmc, bool write);

 private:
  void* module_ = nullptr;
  AutoRef<VirtualWareRaw::SafeVirtualServer> server_;
};

// path made absolute: the plug-in reaches files from the root directory.
std::string AbsolutePath(const std::string& path);
// Creates folder and its parents when absent (the server wants the location
// of a new machine to exist).
void MakeFolders(const std::string& folder);
// Every property the machine lists, name and text value, in its order.
std::vector<std::pair<std::string, std::string>> Properties(const AutoRef<VirtualWareRaw::SafeVM>& vm);
std::string Property(const AutoRef<VirtualWareRaw::SafeVM>& vm, const std::string& name);
void SetProperty(const AutoRef<VirtualWareRaw::SafeVM>& vm, const std::string& name, const std::string& value);
std::vector<MachineDisk> Disks(const AutoRef<VirtualWareRaw::SafeVM>& vm);
std::shared_ptr<VirtualMachineDiskEx> OpenRaw(VirtualWareRaw::SafeHardDisk& disk);
// Writes the machine's configuration and releases it.
void CloseMachine(const AutoRef<VirtualWareRaw::SafeVM>& vm);
// The first free place: on bus (IDE first when absent), controller when given.
DiskPlace FreePlace(const AutoRef<VirtualWareRaw::SafeVM>& vm, int bus, int controller, int device);

}  // namespace Hvagent
