#include "common/server/dummy_vm_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "common/server/virtual_machine_disk_ex_base.h"
#include "common/server/vm_utils.h"
#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/common/guid.h"
#include "core/common/trace.h"
#include "core/xml/document.h"
#include "processor/runtime.h"

namespace VirtualWareRaw {

namespace {

using Common::Error;

constexpr char16_t kId[] = u"ID";
constexpr char16_t kUuid[] = u"UUID";
constexpr char16_t kName[] = u"Name";
constexpr char16_t kStorage[] = u"Storage";
constexpr char16_t kLogin[] = u"Login";
constexpr char16_t kPassword[] = u"Password";

template <class F>
Error Guarded(F&& body) {
  try {
    body();
    return Common::Success();
  } catch (const Error& error) {
    return error;
  }
}

Error PropertyNotSupported(const char* function, const std::u16string& name) {
  return Common::MakeErrorWithArgs(Code::kPropertyNotSupported, Msg::kPropertyNotSupported, HV_SITE(function),
                                   "PropertyName", {name});
}

Error NotImplemented(const char* function) {
  return Common::MakeError(Code::kNotImplemented, Msg::kNotImplemented, HV_SITE(function));
}

}  // namespace

uint64_t DummyDiskCylinders(const DummyVMSupport::DiskParameters& params) {
  if (params.SectorsPerTrack == 0 || params.SectorSize == 0) return 0;
  const uint64_t sectors = params.Size / params.SectorSize;
  if (sectors == 0) return 0;
  return (sectors - 1) / (params.Heads + 1u) / params.SectorsPerTrack;
}

// The disk that performs I/O: the stored first sector at LBA 0, zeros elsewhere.
class DummyVirtualMachineDisk final : public VirtualMachineDiskExBase {
 public:
  explicit DummyVirtualMachineDisk(std::shared_ptr<DummyVMSupport::DiskParameters> params)
      : params_(std::move(params)), sectorCount_(params_->Size / params_->SectorSize) {
    geometry_.sectorsPerTrack = params_->SectorsPerTrack;
    geometry_.highestHead = params_->Heads;
    geometry_.cylinders = DummyDiskCylinders(*params_);
    adapterCode_ = AdapterCode(params_->AdapterType);
  }

  static uint32_t AdapterCode(uint32_t adapterType) {
    static constexpr uint32_t kCodes[] = {3, 1, 11, 17};
    return adapterType < 4 ? kCodes[adapterType] : 0;
  }

  uint32_t GetSectorSize() const override { return params_->SectorSize; }
  uint64_t GetSectorCount() const override { return sectorCount_; }
  const Fdisk::Geometry& GetGeometry() const override { return geometry_; }
  uint32_t GetAdapterType() const override { return adapterCode_; }

  Error IO(uint32_t mode, void* buffer, uint64_t firstSector, uint64_t sectorCount) override {
    const uint32_t sectorSize = params_->SectorSize;
    // The last addressable sector is never part of a read: a read must end below it.
    const uint64_t lastLba = sectorCount_ - 1;
    if (mode == Fdisk::kIoRead && buffer && firstSector < lastLba && sectorCount < lastLba - firstSector) {
      std::memset(buffer, 0, sectorCount * sectorSize);
      if (firstSector == 0 && sectorCount > 0) std::memcpy(buffer, params_->MBR.data(), sectorSize);
      return Common::Success();
    }
    // Only the stored sector can take data; a longer write would lose the rest.
    if (mode == Fdisk::kIoWrite && buffer && firstSector == 0 && sectorCount == 1) {
      std::memcpy(params_->MBR.data(), buffer, sectorSize);
      return Common::Success();
    }
    return Common::MakeErrorWithArgs(Code::kAccessHardDiskFailed, Msg::kAccessHardDiskFailed, HV_SITE("IO"), "fileName",
                                     {params_->Name + u"_dummy"});
  }

  Error GetPlatformHandle(intptr_t& handle) override {
    handle = 0;
    return NotImplemented("GetPlatformHandle");
  }
  Error GetCurrentChangeID(std::u16string& changeId) override {
    changeId.clear();
    return Common::Success();
  }
  // Only the stored first sector ever holds data.
  Error GetChangedSectors(const std::u16string& changeId, const Fdisk::SectorRange& range,
                          std::vector<Fdisk::SectorRange>& changed) override {
    if (changeId != u"*") return NotImplemented("GetChangedSectors");
    if (range.start == 0 && range.length > 0 && sectorCount_ > 0) changed.push_back({0, 1});
    return Common::Success();
  }

 private:
  std::shared_ptr<DummyVMSupport::DiskParameters> params_;
  uint64_t sectorCount_;
  Fdisk::Geometry geometry_;
  uint32_t adapterCode_;
};

class DummyRawHardDisk final : public virtual SafeRawHardDisk {
 public:
  explicit DummyRawHardDisk(std::shared_ptr<DummyVMSupport::DiskParameters> params) : params_(std::move(params)) {}

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<SafeRawHardDisk>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == InterfaceIds::SafeRawHardDisk) return Processor::AnswerInterface<SafeRawHardDisk>(this);
    return {};
  }

  Error GetDisk(std::shared_ptr<VirtualMachineDiskEx>& disk) override {
    return Guarded([&] {
      if (!disk_) disk_ = std::make_shared<DummyVirtualMachineDisk>(params_);
      disk = disk_;
    });
  }

 private:
  std::shared_ptr<DummyVMSupport::DiskParameters> params_;
  std::shared_ptr<VirtualMachineDiskEx> disk_;
};

class DummyHDD final : public virtual SafeHardDisk {
 public:
  explicit DummyHDD(std::shared_ptr<DummyVMSupport::DiskParameters> params) : params_(std::move(params)) {}

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<SafeHardDisk>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == InterfaceIds::SafeHardDisk) return Processor::AnswerInterface<SafeHardDisk>(this);
    return {};
  }

  Error GetFileName(std::u16string& name) override {
    name = params_->Name;
    return Common::Success();
  }
  Error GetHardDiskType(uint32_t& type) override {
    type = 0;
    return Common::Success();
  }
  Error GetBus(uint32_t& bus) override {
    bus = params_->AdapterType;
    return Common::Success();
  }
  Error GetController(uint32_t& controller) override {
    controller = params_->Controller;
    return Common::Success();
  }
  Error GetDevice(uint32_t& device) override {
    device = params_->Device;
    return Common::Success();
  }
  Error GetRawDisk(AutoRef<SafeRawHardDisk>& raw) override {
    return Guarded([&] {
      if (!raw_) raw_ = Processor::MakeRef<SafeRawHardDisk, DummyRawHardDisk>(params_);
      raw = raw_;
    });
  }

  bool IsAt(uint32_t bus, uint32_t controller, uint32_t device) const {
    return params_->AdapterType == bus && params_->Controller == controller && params_->Device == device;
  }

 private:
  std::shared_ptr<DummyVMSupport::DiskParameters> params_;
  AutoRef<SafeRawHardDisk> raw_;
};

class DummyHDDCollection final : public HardDiskList {
 public:
  explicit DummyHDDCollection(std::vector<AutoRef<SafeHardDisk>> disks)
      : HardDiskList(Msg::kCollectionIndexInvalid, std::move(disks)) {}

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<SafeHardDiskCollection>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == InterfaceIds::SafeHardDiskCollection) return Processor::AnswerInterface<SafeHardDiskCollection>(this);
    return {};
  }
};

// A placeholder machine. Its disks are addressed as (bus, controller,
// device), where the bus doubles as the disk's adapter type.
class DummyVM final : public virtual SafeVM, public virtual PropertySet {
 public:
  explicit DummyVM(DummyVMSupport* support) : support_(support) {
    properties_[kId] = Common::RuntimeGuidText();
    properties_[kUuid] = Common::RuntimeGuidText();
  }

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<SafeVM>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == InterfaceIds::SafeVM) return Processor::AnswerInterface<SafeVM>(this);
    if (id == InterfaceIds::PropertySet) return Processor::AnswerInterface<PropertySet>(this);
    return {};
  }

  // The support goes away before the machine when the machine is removed
  // or the runtime shuts down.
  void Detach() { support_.store(nullptr); }
  const std::u16string& Id() const { return properties_.at(kId); }

  // Applies a description as one change of properties (see the header).
  void ApplyDescription(const std::u16string& description) {
    if (description.empty()) return;
    Xml::ReadPosition where;
    const std::unique_ptr<Xml::Tag> root = Xml::LoadDocument(Common::Utf16ToUtf8(description), where);
    if (root->Name != "VirtualMachine") HV_THROW(Code::kCreateObjectFailed, Msg::kCreateObjectFailed, "CreateObject");
    std::map<std::u16string, std::u16string> changes;
    for (const auto& child : root->Children) {
      const std::u16string name = Common::Utf8ToUtf16(child->Name);
      if (name != kName && name != kStorage && name != kLogin && name != kPassword)
        Common::Throw(PropertyNotSupported("SetProperty", name));
      changes[name] = Xml::JoinedText(*child);
    }
    if (changes.empty()) return;
    if (!changes.count(kName) && !changes.count(kStorage))
      Common::Throw(PropertyNotSupported("SetProperty", changes.begin()->first));
    Change(changes);
  }

  // SafeVM
  Error AddHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller, uint32_t device, uint64_t size,
                    uint32_t sectorSize, uint32_t, uint32_t, AutoRef<SafeHardDisk>& disk) override {
    return Guarded([&] {
      DummyVMSupport* support = support_.load();
      if (!support) {
        HV_ASSERT_TEXT("Support");
        HV_THROW(Code::kInternalError, Msg::kInternalError, "AddHardDisk");
      }
      auto params = std::make_shared<DummyVMSupport::DiskParameters>();
      params->Name = fileName;
      params->AdapterType = bus;
      params->Controller = controller;
      params->Device = device;
      params->Size = size;
      params->SectorSize = sectorSize;
      support->CheckAndFillDiskParameters(*params);
      params->MBR.resize(params->SectorSize);
      HV_ASSERT(params->MBR.size() == params->SectorSize);
      disks_.push_back(Processor::RefPtr<DummyHDD>::Adopt(Processor::CreateObject<DummyHDD>(params)));
      disk = AutoRef<SafeHardDisk>::Share(disks_.back().Get());
    });
  }
  Error AddExistingHardDisk(const std::u16string&, uint32_t, uint32_t, uint32_t, uint32_t,
                            AutoRef<SafeHardDisk>&) override {
    return NotImplemented("AddExistingHardDisk");
  }
  Error RemoveHardDisk(uint32_t bus, uint32_t controller, uint32_t device, bool) override {
    const auto found = std::find_if(disks_.begin(), disks_.end(), [&](const Processor::RefPtr<DummyHDD>& disk) {
      return disk->IsAt(bus, controller, device);
    });
    if (found == disks_.end())
      return Common::MakeError(Code::kHddNotFoundByAddress, Msg::kHddNotFoundByAddress, HV_SITE("RemoveHardDisk"));
    disks_.erase(found);
    return Common::Success();
  }
  Error ResizeHardDisk(uint32_t, uint32_t, uint32_t, uint64_t) override { return NotImplemented("ResizeHardDisk"); }
  Error GetHardDisks(AutoRef<SafeHardDiskCollection>& disks) override {
    return Guarded([&] {
      std::vector<AutoRef<SafeHardDisk>> items;
      for (const auto& disk : disks_) items.push_back(AutoRef<SafeHardDisk>::Share(disk.Get()));
      disks = Processor::MakeRef<SafeHardDiskCollection, DummyHDDCollection>(std::move(items));
    });
  }

  // PropertySet. The password can be set but is never handed out.
  Error GetProperty(const std::u16string& name, std::u16string& value) override {
    const auto found = properties_.find(name);
    if (found == properties_.end() || name == kPassword) return PropertyNotSupported("GetProperty", name);
    value = found->second;
    return Common::Success();
  }
  Error GetProperty(const std::u16string& name, TextList&) override {
    return PropertyNotSupported("GetProperty", name);
  }
  Error SetProperty(const std::u16string& name, const std::u16string& value) override {
    if (name != kName && name != kStorage) return PropertyNotSupported("SetProperty", name);
    return Guarded([&] { Change({{name, value}}); });
  }
  // "Name" or "Storage" with {value} or {value, login, password}.
  Error SetProperty(const std::u16string& name, const TextList& values) override {
    if ((name != kName && name != kStorage) || (values.size() != 1 && values.size() != 3))
      return PropertyNotSupported("SetProperty", name);
    std::map<std::u16string, std::u16string> changes{{name, values[0]}};
    if (values.size() == 3) {
      changes[kLogin] = values[1];
      changes[kPassword] = values[2];
    }
    return Guarded([&] { Change(changes); });
  }
  Error GetPropertyNames(TextList& names) override {
    names.clear();
    for (const auto& [name, value] : properties_)
      if (name != kPassword) names.push_back(name);
    return Common::Success();
  }

 private:
  // Stores the changes only when the support accepts the resulting settings.
  void Change(const std::map<std::u16string, std::u16string>& changes) {
    DummyVMSupport* support = support_.load();
    if (!support) {
      HV_ASSERT_TEXT("Support");
      HV_THROW(Code::kInternalError, Msg::kInternalError, "SetProperty");
    }
    std::map<std::u16string, std::u16string> next = properties_;
    for (const auto& [name, value] : changes) next[name] = value;
    DummyVMSupport::VMParameters params{next[kName], next[kStorage], next[kLogin], next[kPassword]};
    support->CheckVirtualMachineParameters(params);
    properties_ = std::move(next);
  }

  std::atomic<DummyVMSupport*> support_;
  std::map<std::u16string, std::u16string> properties_;
  std::vector<Processor::RefPtr<DummyHDD>> disks_;
};

// ---- the support ------------------------------------------------------------------------

DummyVMSupport::DummyVMSupport() { Common::Trace(1, 0x53, 0, Msg::kTraceDummySupportCreated); }

DummyVMSupport::~DummyVMSupport() {
  for (auto& [id, vm] : machines_) vm->Detach();
  Common::Trace(1, 0x53, 0, Msg::kTraceDummySupportDeleted);
}

MetaClass* DummyVMSupport::GetMetaClass() { return Processor::InterfaceMetaClass<ObjectManager>::Instance(); }

InterfacePair DummyVMSupport::QueryInterface(uint32_t id) {
  if (id == InterfaceIds::ObjectManager) return Processor::AnswerInterface<ObjectManager>(this);
  return {};
}

Common::Error DummyVMSupport::CreateObject(const std::u16string& type, const std::u16string& description,
                                           AutoRef<Processor::Interface>& object) {
  try {
    if (type == u"VirtualMachine") {
      object = CreateVM(description);
    } else {
      CreateAlias(description);
    }
    return Common::Success();
  } catch (const Error& error) {
    if (error.Code() == Code::kCreateObjectFailed && !error.Cause()) return error;
    return Common::Wrap(Common::MakeError(Code::kCreateObjectFailed, Msg::kCreateObjectFailed, HV_SITE("CreateObject")),
                        error);
  }
}

AutoRef<Processor::Interface> DummyVMSupport::CreateVM(const std::u16string& description) {
  Processor::RefPtr<DummyVM> vm = Processor::RefPtr<DummyVM>::Adopt(Processor::CreateObject<DummyVM>(this));
  vm->ApplyDescription(description);
  const std::u16string& id = vm->Id();
  HV_ASSERT(!id.empty());
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto [entry, inserted] = machines_.emplace(id, vm);
  if (!inserted) vm->Detach();
  return AutoRef<Processor::Interface>::Share(static_cast<Processor::Interface*>(entry->second.Get()));
}

void DummyVMSupport::CreateAlias(const std::u16string& description) {
  Xml::ReadPosition where;
  const std::unique_ptr<Xml::Tag> root = Xml::LoadDocument(Common::Utf16ToUtf8(description), where);
  if (root->Name != "link") HV_THROW(Code::kCreateObjectFailed, Msg::kCreateObjectFailed, "CreateObject");
  const Xml::Tag* aliasTag = nullptr;
  const Xml::Tag* idTag = nullptr;
  for (const auto& child : root->Children) {
    if (child->Name == "alias" && !aliasTag) aliasTag = child.get();
    if (child->Name == "id" && !idTag) idTag = child.get();
  }
  if (!aliasTag || !idTag) {
    HV_ASSERT_TEXT("aliasTag && idTag");
    HV_THROW(Code::kCreateObjectFailed, Msg::kCreateObjectFailed, "CreateObject");
  }
  const std::u16string alias = Xml::JoinedText(*aliasTag);
  const std::u16string id = Xml::JoinedText(*idTag);
  if (alias.empty() || id.empty()) {
    HV_ASSERT_TEXT("!alias.empty() && !id.empty()");
    HV_THROW(Code::kCreateObjectFailed, Msg::kCreateObjectFailed, "CreateObject");
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // IDs are looked up before aliases: an alias equal to an ID could never be found.
  if (machines_.count(alias)) HV_THROW(Code::kCreateObjectFailed, Msg::kCreateObjectFailed, "CreateObject");
  aliases_[alias] = id;
}

Processor::RefPtr<DummyVM> DummyVMSupport::Lookup(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = machines_.find(name);
  if (found == machines_.end()) {
    const auto alias = aliases_.find(name);
    if (alias == aliases_.end()) return nullptr;
    found = machines_.find(alias->second);
    if (found == machines_.end()) return nullptr;
  }
  return found->second;
}

Common::Error DummyVMSupport::GetObject(const std::u16string& name, AutoRef<Processor::Interface>& object) {
  const Processor::RefPtr<DummyVM> vm = Lookup(name);
  if (!vm)
    return Common::MakeErrorWithArgs(Code::kGetObjectFailed, Msg::kGetObjectFailed, HV_SITE("GetObject"), "ObjectName",
                                     {name});
  object = AutoRef<Processor::Interface>::Share(static_cast<Processor::Interface*>(vm.Get()));
  return Common::Success();
}

AutoRef<SafeVM> DummyVMSupport::FindVM(const std::u16string& name) {
  const Processor::RefPtr<DummyVM> vm = Lookup(name);
  return AutoRef<SafeVM>::Share(vm.Get());
}

Common::Error DummyVMSupport::GetRegisteredVMInternal(const std::u16string& name, AutoRef<SafeVM>& vm) {
  AutoRef<SafeVM> found = FindVM(name);
  if (!found)
    return Common::MakeErrorWithArgs(Code::kOpenVMFailed, Msg::kFindRegisteredVMFailed,
                                     HV_SITE("GetRegisteredVMInternal"), "VmId", {name});
  vm = std::move(found);
  return Common::Success();
}

Common::Error DummyVMSupport::RemoveVM(const std::u16string& name) {
  Processor::RefPtr<DummyVM> removed;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const Processor::RefPtr<DummyVM> vm = Lookup(name);
    if (!vm) return Common::MakeError(Code::kDeleteVMFailed, Msg::kDeleteVMFailed, HV_SITE("RemoveVM"));
    const auto found = machines_.find(vm->Id());
    removed = std::move(found->second);
    machines_.erase(found);
    removed->Detach();
  }
  return Common::Success();  // the machine goes with the last holder, outside the lock
}

void DummyVMSupport::BindRoot(std::shared_ptr<rio_dir> root) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!root_) root_ = std::move(root);
}

bool DummyVMSupport::IsBound() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return root_ != nullptr;
}

rio_dir& DummyVMSupport::Root() {
  if (!root_)
    Common::Throw(Common::MakeError(Code::kInternalError, Msg::kInternalError, HV_SITE_AT("GetRootDir", 476)));
  return *root_;
}

}  // namespace VirtualWareRaw
