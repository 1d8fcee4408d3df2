// The VirtualWareRaw interfaces that cross the plug-in boundary. Each derives
// virtually from Processor::Interface and repeats GetMetaClass (slot 0) and
// QueryInterface (slot 1) before its own operations; the declaration order
// below is the slot order the agent calls through.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hvplug/credentials.h"
#include "hvplug/error.h"
#include "hvplug/interface_ids.h"
#include "hvplug/processor.h"

class rio_dir;  // file layer: the agent's root directory object

namespace VirtualWareRaw {

using Processor::AutoRef;
using Processor::InterfacePair;
using Processor::MetaClass;
using TextList = std::vector<std::u16string>;

inline constexpr int32_t SERVER_TYPE_MS_VIRTUAL_PC = 7;

// Declares the two leading slots every interface repeats.
#define HVPLUG_INTERFACE_HEAD(Name)                                 \
  static constexpr uint32_t kInterfaceId = InterfaceIds::Name;      \
  virtual MetaClass* GetMetaClass() override = 0;                   \
  virtual InterfacePair QueryInterface(uint32_t id) override = 0;

class SafeVM;
class SafeVMCollection;
class SafeHardDisk;
class SafeHardDiskCollection;
class SafeRawHardDisk;

class SafeVirtualServer : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeVirtualServer)
  virtual Common::Error Reserved1() = 0;                                           // 2
  virtual Common::Error CreateVM(const std::u16string& location, const std::u16string& name,
                                 uint32_t flag, AutoRef<SafeVM>& vm) = 0;          // 3
  virtual Common::Error RemoveVM(const std::u16string& path) = 0;                 // 4
  virtual Common::Error GetRegisteredVMs(AutoRef<SafeVMCollection>& collection) = 0;  // 5
  virtual Common::Error GetRegisteredVM(const std::u16string& path, AutoRef<SafeVM>& vm) = 0;  // 6
  virtual Common::Error GetServerName(std::u16string& name) = 0;                  // 7
  virtual Common::Error Reserved2() = 0;                                           // 8
  virtual Common::Error GetDefaultVMFolders(TextList& folders) = 0;               // 9
  virtual Common::Error GetServerType(uint32_t& type) = 0;                        // 10
};

class ObjectManager : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(ObjectManager)
  virtual Common::Error CreateObject(const std::u16string& type, const std::u16string& description,
                                     AutoRef<Processor::Interface>& object) = 0;  // 2
  virtual Common::Error GetObject(const std::u16string& name,
                                  AutoRef<Processor::Interface>& object) = 0;     // 3
};

class PropertySet : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(PropertySet)
  virtual Common::Error GetProperty(const std::u16string& name, std::u16string& value) = 0;  // 2
  virtual Common::Error GetProperty(const std::u16string& name, TextList& values) = 0;       // 3
  virtual Common::Error SetProperty(const std::u16string& name, const std::u16string& value) = 0;  // 4
  virtual Common::Error SetProperty(const std::u16string& name, const TextList& values) = 0;  // 5
  virtual Common::Error GetPropertyNames(TextList& names) = 0;                                // 6
};

class VirtualWorkstation : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(VirtualWorkstation)
  virtual Common::Error CreateVM(const std::u16string& location, const Common::Credentials& credentials,
                                 const std::u16string& name, uint32_t flag, AutoRef<SafeVM>& vm) = 0;  // 2
  virtual Common::Error RemoveVM(const std::u16string& path, const Common::Credentials& credentials) = 0;  // 3
  virtual Common::Error GetRegisteredVM(const std::u16string& path, const Common::Credentials& credentials,
                                        AutoRef<SafeVM>& vm) = 0;  // 4
  virtual Common::Error GetRegisteredVMs(const std::u16string& location, const Common::Credentials& credentials,
                                         const std::u16string& name,
                                         AutoRef<SafeVMCollection>& collection) = 0;  // 5
};

// The agent's file services: the source of the root directory object. It
// answers GetRootDir with a new directory object per call (directory objects
// keep an error state and are not shared between threads). It may also
// answer QueryInterface(InterfaceIds::FileTracker) with the agent's file
// tracker, which then serves the change IDs of every disk opened through the
// server that received these services.
class FileServices : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(FileServices)
  virtual Common::Error GetRootDir(std::shared_ptr<rio_dir>& root) = 0;  // 2
};

// Set before any operation that touches files (else 0x530040).
class FileServicesClient : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(FileServicesClient)
  virtual Common::Error SetFileServices(const AutoRef<FileServices>& services) = 0;  // 2
};

class SafeVMCollection : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeVMCollection)
  virtual Common::Error GetCount(uint32_t& count) = 0;                     // 2
  virtual Common::Error GetItem(uint32_t index, AutoRef<SafeVM>& vm) = 0;  // 3
};

class SafeVM : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeVM)
  // Flags of AddHardDisk. kFirstFill: the caller fills the new disk and
  // throws it away unless the fill finishes, so the first raw disk taken
  // from the hard disk handed back writes without a barrier per request;
  // IO mode Fdisk::kIoFlush (or the release) makes the fill durable.
  static constexpr uint32_t kFixedDisk = 1;
  static constexpr uint32_t kFirstFill = 2;
  // 2: the last two values pass through to the disk layer unchanged.
  virtual Common::Error AddHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller,
                                    uint32_t device, uint64_t size, uint32_t sectorSize, uint32_t adapterType,
                                    uint32_t flags, AutoRef<SafeHardDisk>& disk) = 0;
  // 3
  virtual Common::Error AddExistingHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller,
                                            uint32_t device, uint32_t flags, AutoRef<SafeHardDisk>& disk) = 0;
  virtual Common::Error RemoveHardDisk(uint32_t bus, uint32_t controller, uint32_t device,
                                       bool deleteFile) = 0;                                        // 4
  virtual Common::Error ResizeHardDisk(uint32_t bus, uint32_t controller, uint32_t device,
                                       uint64_t size) = 0;                                          // 5
  virtual Common::Error GetHardDisks(AutoRef<SafeHardDiskCollection>& disks) = 0;                // 6
};

class SafeVMAccess : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeVMAccess)
  static constexpr uint32_t kWriteAccess = 2;
  virtual Common::Error SetAccessMode(uint32_t flags) = 0;  // 2
  virtual Common::Error Close() = 0;                        // 3
};

class SafeHardDiskCollection : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeHardDiskCollection)
  virtual Common::Error GetCount(uint32_t& count) = 0;                             // 2
  virtual Common::Error GetItem(uint32_t index, AutoRef<SafeHardDisk>& disk) = 0;  // 3
};

class SafeHardDisk : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeHardDisk)
  virtual Common::Error GetFileName(std::u16string& name) = 0;             // 2
  virtual Common::Error GetHardDiskType(uint32_t& type) = 0;               // 3
  virtual Common::Error GetBus(uint32_t& bus) = 0;                         // 4
  virtual Common::Error GetController(uint32_t& controller) = 0;           // 5
  virtual Common::Error GetDevice(uint32_t& device) = 0;                   // 6
  virtual Common::Error GetRawDisk(AutoRef<SafeRawHardDisk>& raw) = 0;     // 7
};

}  // namespace VirtualWareRaw

class VirtualMachineDiskEx;  // sector disk with user metadata

namespace VirtualWareRaw {

class SafeRawHardDisk : public virtual Processor::Interface {
 public:
  HVPLUG_INTERFACE_HEAD(SafeRawHardDisk)
  virtual Common::Error GetDisk(std::shared_ptr<VirtualMachineDiskEx>& disk) = 0;  // 2
};

}  // namespace VirtualWareRaw
