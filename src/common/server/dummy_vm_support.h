// Dummy machines: placeholder machines that live only in memory. The agent
// creates them through a server's ObjectManager and then finds, lists and
// removes them by ID or alias like machines on disk. Their disks hold a size
// and one stored first sector; everything else reads as zeros.
//
// Machine descriptions (CreateObject("VirtualMachine", description)): empty,
// or an XML document <VirtualMachine> whose child elements name properties
// ("Name", "Storage", "Login", "Password") and whose texts are the values;
// they are applied as one change.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hvplug/virtualware.h"
#include "processor/ref_ptr.h"

namespace VirtualWareRaw {

class DummyVM;

class DummyVMSupport : public virtual ObjectManager {
 public:
  // What a new dummy disk is made from; shared by the disk objects of one disk.
  struct DiskParameters {
    std::u16string Name;
    uint32_t AdapterType = 0;  // 0 to 3; also the disk's bus
    uint32_t Controller = 0;
    uint32_t Device = 0;
    uint64_t Size = 0;
    uint32_t SectorSize = 0;
    uint8_t Heads = 0;  // the highest head number (heads - 1)
    uint8_t SectorsPerTrack = 0;
    std::vector<uint8_t> MBR;  // exactly SectorSize bytes
  };

  // The settings of a dummy machine that the server checks together.
  struct VMParameters {
    std::u16string Name;
    std::u16string Storage;
    std::u16string Login;
    std::u16string Password;
  };

  DummyVMSupport();
  ~DummyVMSupport() override;

  MetaClass* GetMetaClass() override;
  InterfacePair QueryInterface(uint32_t id) override;

  // ObjectManager: type "VirtualMachine" creates a machine from a
  // description; any other type registers an alias from a
  // <link><alias>A</alias><id>ID</id></link> document.
  Common::Error CreateObject(const std::u16string& type, const std::u16string& description,
                             AutoRef<Processor::Interface>& object) override;
  Common::Error GetObject(const std::u16string& name, AutoRef<Processor::Interface>& object) override;

  // The machine registered under name (an ID, else an alias), or null.
  AutoRef<SafeVM> FindVM(const std::u16string& name);
  // As FindVM, failing with 0x530016 when there is none.
  Common::Error GetRegisteredVMInternal(const std::u16string& name, AutoRef<SafeVM>& vm);
  // Drops the machine registered under name (an ID or an alias); 0x53002E
  // when there is none.
  Common::Error RemoveVM(const std::u16string& name);

  // The first root bound stays: the support is shared by every server of the
  // process. The root is used under the support's mutex only.
  void BindRoot(std::shared_ptr<rio_dir> root);
  bool IsBound();

  // Hypervisor-specific checks. Both throw Common::Error.
  virtual uint32_t GetServerType() const = 0;
  // Validates params and completes its geometry and size.
  virtual void CheckAndFillDiskParameters(DiskParameters& params) = 0;
  virtual void CheckVirtualMachineParameters(const VMParameters& params) = 0;

 protected:
  // The bound root; callers hold the mutex. Throws 0x530040 when unbound.
  rio_dir& Root();
  std::recursive_mutex& Mutex() { return mutex_; }

 private:
  Processor::RefPtr<DummyVM> Lookup(const std::u16string& name);
  AutoRef<Processor::Interface> CreateVM(const std::u16string& description);
  void CreateAlias(const std::u16string& description);

  std::recursive_mutex mutex_;
  std::map<std::u16string, Processor::RefPtr<DummyVM>> machines_;
  std::map<std::u16string, std::u16string> aliases_;
  std::shared_ptr<rio_dir> root_;
};

// Cylinders of a dummy disk: (sectors - 1) / heads / sectors per track, 0
// for a disk without geometry.
uint64_t DummyDiskCylinders(const DummyVMSupport::DiskParameters& params);

}  // namespace VirtualWareRaw
