// MSVirtualPCVM: one Virtual PC machine, a ".vmc" file in a directory and
// the disks it lists.
#include "virtual_pc/vm/vm.h"

#include <fcntl.h>
#include <nettle/md5.h>

#include "common/server/file_utils.h"
#include "common/server/vm_utils.h"
#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/common/trace.h"
#include "core/fdisk/virtual/virtual_disks.h"
#include "core/file/dir_access.h"
#include "hvplug/file.h"
#include "microsoft/common/disk/disk_traits.h"
#include "processor/runtime.h"
#include "virtual_pc/config/configuration.h"
#include "virtual_pc/hdd/hdd.h"
#include "virtual_pc/vm/disk_path.h"
#include "virtual_pc/vm/vm_layout.h"
#include "virtual_pc/vm/vm_template.h"

namespace VirtualPC {
namespace {

using Common::Error;
using Processor::AutoRef;
using Processor::InterfacePair;
using Processor::MetaClass;
using VirtualWareRaw::ConfigurationParserImpl;
using VirtualWareRaw::HardDiskList;
using VirtualWareRaw::SafeHardDisk;
using VirtualWareRaw::SafeHardDiskCollection;
using VirtualWareRaw::TextList;
namespace Ids = VirtualWareRaw::InterfaceIds;

constexpr char kRamSizePath[] = "preferences.hardware.memory.ram_size";
constexpr char kFirmwarePath[] = "preferences.hardware.firmware.value";
constexpr char16_t kVmcExtension[] = u".vmc";

template <class Operation>
Error Guard(Operation&& operation) {
  try {
    operation();
  } catch (const Error& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return Common::MakeError(Code::kInternalError, Msg::kOutOfMemory, HV_SITE("MSVirtualPCVM"));
  }
  return Common::Success();
}

bool EndsWithNoCase(const std::u16string& text, std::u16string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    char16_t c = text[text.size() - suffix.size() + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

bool HasForbiddenCharacter(const std::u16string& name) { return MakeVMFileSystemName(name) != name; }

class HardDiskCollectionImpl final : public HardDiskList {
 public:
  HardDiskCollectionImpl() : HardDiskList(Msg::kBadVMIndex) {}

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<SafeHardDiskCollection>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == Ids::SafeHardDiskCollection || id == Ids::Interface)
      return Processor::AnswerInterface<SafeHardDiskCollection>(this);
    return {};
  }
};

class MSVirtualPCVM final : public virtual VirtualWareRaw::SafeVM,
                            public virtual VirtualWareRaw::PropertySet,
                            public virtual VirtualWareRaw::SafeVMAccess {
 public:
  MSVirtualPCVM(HostAccess host, std::shared_ptr<rio_dir> dir, std::u16string dirPath, std::u16string configFile)
      : host_(std::move(host)),
        dir_(std::move(dir)),
        dirPath_(std::move(dirPath)),
        configFile_(std::move(configFile)) {}

  // Takes the configuration of a new machine and writes it.
  void Create(i_file& source) {
    config_ = std::make_unique<ConfigurationParserImpl>(source);
    config_->ForgetSourceForm();  // a new machine is written in the standard form, not the template's
    modified_ = true;
    FlushConfig();
  }

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<VirtualWareRaw::SafeVM>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    switch (id) {
      case Ids::Interface:
      case Ids::SafeVM:
        return Processor::AnswerInterface<VirtualWareRaw::SafeVM>(this);
      case Ids::PropertySet:
        return Processor::AnswerInterface<VirtualWareRaw::PropertySet>(this);
      case Ids::SafeVMAccess:
        return Processor::AnswerInterface<VirtualWareRaw::SafeVMAccess>(this);
      default:
        return {};
    }
  }

  // SafeVM
  Error AddHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller, uint32_t device, uint64_t size,
                    uint32_t sectorSize, uint32_t adapterType, uint32_t flags, AutoRef<SafeHardDisk>& disk) override {
    return Guard(
        [&] { disk = DoAddHardDisk(fileName, bus, controller, device, size, sectorSize, adapterType, flags); });
  }
  Error AddExistingHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller, uint32_t device,
                            uint32_t, AutoRef<SafeHardDisk>& disk) override {
    return Guard([&] { disk = DoAddExistingHardDisk(fileName, bus, controller, device); });
  }
  Error RemoveHardDisk(uint32_t bus, uint32_t controller, uint32_t device, bool deleteFile) override {
    return Guard([&] { DoRemoveHardDisk(bus, controller, device, deleteFile); });
  }
  Error ResizeHardDisk(uint32_t, uint32_t, uint32_t, uint64_t) override {
    return Common::MakeError(Code::kNotImplemented, Msg::kNotImplemented, HV_SITE("ResizeHardDisk"));
  }
  Error GetHardDisks(AutoRef<SafeHardDiskCollection>& disks) override {
    return Guard([&] {
      auto* collection = Processor::CreateObject<HardDiskCollectionImpl>();
      auto owned = AutoRef<SafeHardDiskCollection>::Adopt(
          collection, Processor::InterfaceMetaClass<SafeHardDiskCollection>::Instance());
      const MachineLayout layout = Layout();
      layout.Validate();
      GetHardDisksOnBus(layout, 0, *collection);
      GetHardDisksOnBus(layout, 1, *collection);
      disks = std::move(owned);
    });
  }

  // PropertySet
  Error GetProperty(const std::u16string& name, std::u16string& value) override {
    return Guard([&] { value = DoGetProperty(name); });
  }
  Error GetProperty(const std::u16string& name, TextList&) override { return NotSupported(name, "GetProperty"); }
  Error SetProperty(const std::u16string& name, const std::u16string& value) override {
    return Guard([&] { DoSetProperty(name, value); });
  }
  Error SetProperty(const std::u16string& name, const TextList&) override { return NotSupported(name, "SetProperty"); }
  Error GetPropertyNames(TextList& names) override {
    names = {u"ID", u"UUID", u"Name", u"FileName", u"Memory", u"CPUs", u"GuestOS", u"PowerState", u"FirmwareType"};
    return Common::Success();
  }

  // SafeVMAccess
  Error SetAccessMode(uint32_t flags) override {
    readOnly_ = (flags & kWriteAccess) == 0;
    return Common::Success();
  }
  Error Close() override {
    Common::Trace(2, 0x53, 0, Msg::kTraceClosingVM, {configFile_});
    return Guard([&] { FlushConfig(); });
  }

 private:
  static Error NotSupported(const std::u16string& name, const char* function) {
    return Common::MakeErrorWithArgs(Code::kPropertyNotSupported, Msg::kPropertyNotSupported,
                                     HV_SITE_AT(function, __LINE__), "name", {name});
  }

  std::u16string VmcPath() const { return VirtualWareRaw::JoinPath(dirPath_, configFile_); }
  std::u16string Name() const {
    return configFile_.size() > 4 ? configFile_.substr(0, configFile_.size() - 4) : configFile_;
  }

  ConfigurationParserImpl& Config() {
    if (!config_) LoadConfig();
    return *config_;
  }
  MachineLayout Layout() { return MachineLayout(Config(), VmcPath()); }

  void LoadConfig() {
    std::unique_ptr<rio_file> file = dir_->Open(configFile_, O_RDONLY, false, 0);
    if (!file) {
      Error error = Common::MakeErrorWithArgs(Code::kNoVMFound, Msg::kNoVMFound, HV_SITE("LoadConfig"), "path,fileName",
                                              {dirPath_, configFile_});
      Common::Throw(Common::Wrap(std::move(error), dir_->TakeError()));
    }
    config_ = std::make_unique<ConfigurationParserImpl>(*file);
  }

  void RequireWritable() {
    if (readOnly_) HV_THROW_ARGS(Code::kConfigurationError, Msg::kReadOnlyVM, "FlushConfig", "name", {Name()});
  }

  // Writes beside the file and then replaces it, so that a failure leaves the
  // previous configuration whole.
  void FlushConfig() {
    if (!modified_) return;
    RequireWritable();
    const std::u16string temporary = configFile_ + u".new";
    const auto fail = [&](Error cause) {
      dir_->TakeError();
      if (!dir_->Remove(temporary)) dir_->TakeError();
      Error error = Common::MakeErrorWithArgs(Code::kConfigurationError, Msg::kCreateConfigFileFailed,
                                              HV_SITE("FlushConfig"), "fileName", {VmcPath()});
      Common::Throw(Common::Wrap(std::move(error), cause));
    };
    {
      std::unique_ptr<rio_file> file = dir_->Open(temporary, O_WRONLY | O_CREAT | O_TRUNC, false, 0644);
      if (!file) fail(dir_->TakeError());
      if (!Config().Flush(*file, true)) fail(file->TakeError());
    }
    KeepPermissions(temporary);
    if (!dir_->Rename(temporary, configFile_)) fail(dir_->TakeError());
    modified_ = false;
  }

  // The replacement gets the permissions the file had; a file that other
  // users may not read stays so.
  void KeepPermissions(const std::u16string& replacement) {
    std::unique_ptr<i_dir::iterator> entry = dir_->GetIterator(configFile_);
    file_attributes attributes;
    if (entry && !entry->Failed() && entry->GetAttributes(attributes)) {
      if (!dir_->SetUnixPermissions(replacement, attributes.mode & 07777)) dir_->TakeError();
    }
    if (!entry) dir_->TakeError();
  }

  const BusLayout& BusOrThrow(uint32_t bus, const char* function) {
    const BusLayout* layout = GetBusLayout(bus);
    if (!layout)
      Common::Throw(
          Common::MakeError(Code::kDeviceInterfaceNotSupported, Msg::kDeviceInterfaceNotSupported, HV_SITE(function)));
    return *layout;
  }

  void CheckPlace(const BusLayout& bus, uint32_t controller, uint32_t device, const char* function) {
    if (controller >= bus.controllers || device >= bus.devices) {
      Common::Throw(
          Common::MakeError(Code::kDeviceInterfaceNotSupported, Msg::kDeviceInterfaceNotSupported, HV_SITE(function)));
    }
  }

  void GetHardDisksOnBus(const MachineLayout& layout, uint32_t bus, HardDiskCollectionImpl& collection) {
    const BusLayout& shape = *GetBusLayout(bus);
    for (uint32_t c = 0; c < shape.controllers; ++c) {
      const Xml::Tag* controller = layout.FindController(shape, c);
      if (!controller) continue;
      for (uint32_t d = 0; d < shape.devices; ++d) {
        const Xml::Tag* location = MachineLayout::FindLocation(*controller, d);
        if (!location || !layout.IsHardDisk(*location, MachineLayout::LocationKeyPath(shape, c))) continue;
        const std::u16string file = ResolveDiskPath(*location, *dir_, VmcPath(), "GetHardDisksOnBus");
        collection.Add(MakeMSVirtualPCHDD(dir_, file, bus, c, d, host_.tracker));
      }
    }
  }

  // The name of a disk file relative to the machine directory.
  std::u16string LocalName(const std::u16string& fileName) const {
    const std::u16string prefix = dirPath_ + u"/";
    if (!dirPath_.empty() && fileName.size() > prefix.size() && fileName.compare(0, prefix.size(), prefix) == 0) {
      return fileName.substr(prefix.size());
    }
    return fileName;
  }

  AutoRef<SafeHardDisk> DoAddExistingHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller,
                                              uint32_t device, bool firstFill = false) {
    const BusLayout& shape = BusOrThrow(bus, "AddExistingHardDisk");
    const std::u16string file = LocalName(fileName);
    if (file.empty() || !VirtualWareRaw::FileObjectExists(*dir_, file)) {
      HV_THROW_ARGS(Code::kHddMissing, Msg::kHddMissing, "AddExistingHardDisk", "fileName", {fileName});
    }
    RequireWritable();
    const MachineLayout layout = Layout();
    layout.Validate();
    CheckPlace(shape, controller, device, "AddExistingHardDisk");
    Xml::Tag* existing = layout.FindController(shape, controller);
    if (existing && MachineLayout::FindLocation(*existing, device)) {
      HV_THROW(Code::kBusDeviceInUse, Msg::kBusDeviceInUse, "AddExistingHardDisk");
    }

    const std::u16string controllerId = existing ? existing->Attributes.at("id") : VirtualWareRaw::ToText(controller);
    auto controllerView = Config().Open(MachineLayout::ControllerKeyPath(shape), "id", controllerId, true);
    auto location = controllerView->Open("location", "id", VirtualWareRaw::ToText(device), true);
    // Other writers of these files tell hard disks from CD drives by it.
    location->SetValue("drive_type", u"1");
    location->SetAttribute("drive_type", "type", u"integer");
    location->SetValue("pathname.absolute", file.front() == u'/' ? file : VirtualWareRaw::JoinPath(dirPath_, file));
    location->SetAttribute("pathname.absolute", "type", u"string");
    location->SetValue("pathname.relative", file);
    location->SetAttribute("pathname.relative", "type", u"string");
    modified_ = true;
    try {
      FlushConfig();
    } catch (const Error&) {
      location->Remove();
      if (!existing) controllerView->Remove();
      modified_ = false;
      throw;
    }

    const Xml::Tag* added = layout.FindController(shape, controller);
    const Xml::Tag* addedLocation = added ? MachineLayout::FindLocation(*added, device) : nullptr;
    if (!addedLocation) {
      HV_THROW_ARGS(Code::kHddMissing, Msg::kHddNotFound, "AddExistingHardDisk", "fileName,controller,device",
                    {fileName, VirtualWareRaw::ToText(controller), VirtualWareRaw::ToText(device)});
    }
    const std::u16string resolved = ResolveDiskPath(*addedLocation, *dir_, VmcPath(), "AddExistingHardDisk");
    return MakeMSVirtualPCHDD(dir_, resolved, bus, controller, device, host_.tracker, firstFill);
  }

  AutoRef<SafeHardDisk> DoAddHardDisk(const std::u16string& fileName, uint32_t bus, uint32_t controller,
                                      uint32_t device, uint64_t size, uint32_t sectorSize, uint32_t adapterType,
                                      uint32_t flags) {
    const BusLayout& shape = BusOrThrow(bus, "AddHardDisk");
    std::u16string file = LocalName(fileName);
    if (!EndsWithNoCase(file, u".vhdx")) file += u".vhdx";
    if (VirtualWareRaw::FileObjectExists(*dir_, file)) {
      HV_THROW_ARGS(Code::kHddExists, Msg::kHddExists, "AddHardDisk", "fileName", {file});
    }
    RequireWritable();
    const MachineLayout layout = Layout();
    layout.Validate();
    CheckPlace(shape, controller, device, "AddHardDisk");
    const Xml::Tag* existing = layout.FindController(shape, controller);
    if (existing && MachineLayout::FindLocation(*existing, device)) {
      HV_THROW(Code::kBusDeviceInUse, Msg::kBusDeviceInUse, "AddHardDisk");
    }

    const std::unique_ptr<VirtualWareRaw::DiskTraits> traits = VirtualWareRaw::CreateDiskTraits(file, adapterType);
    const uint64_t sectors = traits->GetSizeInSectors(size, sectorSize);
    if (Error error =
            VirtualDisks::CreateVhdxDisk(*dir_, file, sectors, (flags & SafeVM::kFixedDisk) != 0, sectorSize)) {
      Common::Throw(error);
    }
    const std::u16string diskPath = VirtualWareRaw::JoinPath(dirPath_, file);
    try {
      AutoRef<SafeHardDisk> disk =
          DoAddExistingHardDisk(file, bus, controller, device, (flags & SafeVM::kFirstFill) != 0);
      Common::Trace(2, 0x53, 0, Msg::kTraceDiskAdded, {diskPath, Name()});
      return disk;
    } catch (const Error& inner) {
      if (!dir_->Remove(file)) dir_->TakeError();
      Error error = Common::MakeErrorWithArgs(Code::kAddHddFailed, Msg::kAddHddFailed, HV_SITE("AddHardDisk"),
                                              "fileName,vmName", {diskPath, Name()});
      Common::SetCause(error, inner);
      Common::TraceError(4, error);
      Common::Throw(error);
    }
  }

  void DoRemoveHardDisk(uint32_t bus, uint32_t controller, uint32_t device, bool deleteFile) {
    const BusLayout& shape = BusOrThrow(bus, "RemoveHardDisk");
    RequireWritable();
    const MachineLayout layout = Layout();
    layout.Validate();
    Xml::Tag* controllerTag = layout.FindController(shape, controller);
    Xml::Tag* locationTag = controllerTag ? MachineLayout::FindLocation(*controllerTag, device) : nullptr;
    const std::u16string c = VirtualWareRaw::ToText(controller);
    const std::u16string d = VirtualWareRaw::ToText(device);
    if (!locationTag ||
        (!ChildValue(*locationTag, "pathname.relative") && !ChildValue(*locationTag, "pathname.absolute"))) {
      Error error = Common::MakeErrorWithArgs(Code::kRemoveHardDiskFailed, Msg::kNoDiskAttached,
                                              HV_SITE("RemoveHardDisk"), "controller,device", {c, d});
      Common::TraceError(4, error);
      Common::Throw(error);
    }
    if (!layout.IsHardDisk(*locationTag, MachineLayout::LocationKeyPath(shape, controller))) {
      HV_THROW_ARGS(Code::kRemoveHardDiskFailed, Msg::kNotAHardDisk, "RemoveHardDisk", "controller,device", {c, d});
    }
    const std::u16string file = ResolveDiskPath(*locationTag, *dir_, VmcPath(), "RemoveHardDisk");
    Common::Trace(2, 0x53, 0, Msg::kTraceRemovingDisk,
                  {file.front() == u'/' ? file : VirtualWareRaw::JoinPath(dirPath_, file), Name()});

    auto controllerView =
        Config().Open(MachineLayout::ControllerKeyPath(shape), "id", controllerTag->Attributes.at("id"), false);
    auto location = controllerView->Open("location", "id", locationTag->Attributes.at("id"), false);
    HV_ASSERT(controllerView && location);
    location->Remove();
    if (!FindChild(*controllerTag, "location")) controllerView->Remove();
    modified_ = true;
    // The configuration goes first: a disk file deleted while the file still
    // lists it would leave a machine that cannot be opened whole.
    FlushConfig();
    if (deleteFile) DeleteDiskFile(*dir_, file);
  }

  std::u16string DoGetProperty(const std::u16string& name) {
    if (name == u"ID" || name == u"FileName") return VmcPath();
    if (name == u"UUID") return Common::GuidToWideText(GetGuid());
    if (name == u"Name") return Name();
    if (name == u"FirmwareType") return VirtualWareRaw::ToText(GetFirmwareType());
    if (name == u"Memory") return GetMemorySize();
    if (name == u"CPUs") return u"1";
    if (name == u"GuestOS") return VirtualWareRaw::GuestOSText(VirtualWareRaw::kGuestUnknown);
    if (name == u"PowerState") return VirtualWareRaw::PowerStateText(VirtualWareRaw::kPowerUnknown);
    Common::Throw(NotSupported(name, "GetProperty"));
  }

  Common::Guid GetGuid() const {
    const std::u16string path = VmcPath();
    std::u16string narrow;
    for (const char16_t c : path) narrow += static_cast<char16_t>(c & 0xFF);
    if (std::optional<Common::Guid> guid = VirtualWareRaw::VMUuidFromText(narrow)) return *guid;
    std::vector<uint8_t> bytes;
    bytes.reserve(path.size() * 2);
    for (const char16_t c : path) {
      bytes.push_back(static_cast<uint8_t>(c & 0xFF));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    md5_ctx context;
    md5_init(&context);
    md5_update(&context, bytes.size(), bytes.data());
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&context, sizeof digest, digest);
    return Common::Guid::Load(digest);
  }

  int32_t GetFirmwareType() {
    std::u16string value;
    if (!Config().GetValue(kFirmwarePath, value))
      HV_THROW(Code::kGetFirmwareTypeFailed, Msg::kGetFirmwareTypeFailed, "GetFirmwareType");
    const std::optional<int32_t> type = VirtualWareRaw::FirmwareTypeFromText(value);
    if (!type) {
      HV_ASSERT_TEXT("false && \"unsupported firmware type value\"");
      return VirtualWareRaw::kFirmwareBios;
    }
    return *type;
  }

  std::u16string GetMemorySize() {
    try {
      if (Layout().Integer(kRamSizePath)) {
        std::u16string text;
        Config().GetValue(kRamSizePath, text);
        return text;
      }
    } catch (const Error& inner) {
      Common::Throw(Common::Wrap(
          Common::MakeError(Code::kGetMemorySizeFailed, Msg::kGetMemorySizeFailed, HV_SITE("GetMemorySize")), inner));
    }
    HV_THROW(Code::kGetMemorySizeFailed, Msg::kGetMemorySizeFailed, "GetMemorySize");
  }

  void DoSetProperty(const std::u16string& name, const std::u16string& value) {
    if (name == u"CPUs") {
      // Parsing comes first so that a text that is no number says so.
      uint64_t count = 0;
      try {
        count = VirtualWareRaw::Convert(value);
      } catch (const Error& inner) {
        Common::Throw(SetFailed(name, value, inner));
      }
      if (count != 1) Common::Throw(NotSupported(name, "SetProperty"));
      return;
    }
    if (name != u"Name" && name != u"Memory" && name != u"FirmwareType") {
      Common::Throw(NotSupported(name, "SetProperty"));
    }
    try {
      RequireWritable();
      if (name == u"Name") {
        Rename(value);
      } else if (name == u"Memory") {
        const auto mebibytes = static_cast<uint32_t>(VirtualWareRaw::Convert(value) >> 20);
        Config().SetValue(kRamSizePath, VirtualWareRaw::ToText(mebibytes));
        Config().SetAttribute(kRamSizePath, "type", u"integer");
        modified_ = true;
      } else {
        const uint64_t type = VirtualWareRaw::Convert(value);
        if (type != VirtualWareRaw::kFirmwareBios && type != VirtualWareRaw::kFirmwareEfi) {
          HV_ASSERT_TEXT("false && \"unsupported firmware type value\"");
        }
        const char* text = type == VirtualWareRaw::kFirmwareBios ? "bios" : "efi";
        Config().SetValue(kFirmwarePath, Common::Utf8ToUtf16(text));
        Config().SetAttribute(kFirmwarePath, "type", u"string");
        modified_ = true;
      }
    } catch (const Error& inner) {
      Common::Throw(SetFailed(name, value, inner));
    }
  }

  static Error SetFailed(const std::u16string& name, const std::u16string& value, const Error& inner) {
    Error error = Common::MakeErrorWithArgs(Code::kSetPropertyFailed, Msg::kSetPropertyFailed, HV_SITE("SetProperty"),
                                            "name,value", {name, value});
    Common::SetCause(error, inner);
    return error;
  }

  void Rename(const std::u16string& newName) {
    const std::u16string oldName = Name();
    try {
      if (newName.empty() || HasForbiddenCharacter(newName) || newName == u"." || newName == u"..") {
        HV_THROW_ARGS(Code::kRenameVMFailed, Msg::kInvalidVMName, "Rename", "name", {newName});
      }
      if (newName == oldName) return;
      FlushConfig();
      const std::u16string newFile = newName + kVmcExtension;
      const std::u16string dirName = VirtualWareRaw::GetLastComponent(dirPath_);
      const std::u16string parentPath = VirtualWareRaw::GetParentPath(dirPath_);
      if (dirName == oldName && !parentPath.empty()) {
        std::unique_ptr<rio_dir> parent = FileLayer::OpenDir(host_.root, parentPath);
        if (!parent) Common::Throw(host_.root->TakeError());
        // rename(2) would silently replace an empty directory or a file.
        if (VirtualWareRaw::FileObjectExists(*parent, newName)) {
          HV_THROW_ARGS(Code::kVMExists, Msg::kVMExists, "Rename", "name", {newName});
        }
        VirtualWareRaw::RenameVMFiles(*parent, oldName, newName, kVmcExtension);
        std::unique_ptr<rio_dir> renamed = FileLayer::OpenDir(*parent, newName);
        if (!renamed) Common::Throw(parent->TakeError());
        dir_ = std::move(renamed);
        dirPath_ = VirtualWareRaw::JoinPath(parentPath, newName);
      } else {
        // A directory named otherwise keeps its name; only the file follows.
        if (VirtualWareRaw::FileObjectExists(*dir_, newFile)) {
          HV_THROW_ARGS(Code::kVMExists, Msg::kVMExists, "Rename", "name", {newName});
        }
        if (!dir_->Rename(configFile_, newFile)) Common::Throw(dir_->TakeError());
      }
      configFile_ = newFile;
    } catch (const Error& inner) {
      Error error = Common::MakeErrorWithArgs(Code::kRenameVMFailed, Msg::kRenameVMFailed, HV_SITE("Rename"),
                                              "oldName,newName", {oldName, newName});
      Common::SetCause(error, inner);
      Common::Throw(error);
    }
  }

  HostAccess host_;
  std::shared_ptr<rio_dir> dir_;
  std::u16string dirPath_;
  std::u16string configFile_;
  std::unique_ptr<ConfigurationParserImpl> config_;
  bool readOnly_ = false;
  bool modified_ = false;
};

}  // namespace

AutoRef<VirtualWareRaw::SafeVM> OpenMSVirtualPCVM(const HostAccess& host, const std::u16string& vmcPath) {
  const std::u16string dirPath = VirtualWareRaw::GetParentPath(vmcPath);
  const std::u16string file = VirtualWareRaw::GetLastComponent(vmcPath);
  std::shared_ptr<rio_dir> dir =
      dirPath.empty() ? host.root : std::shared_ptr<rio_dir>(FileLayer::OpenDir(host.root, dirPath));
  if (!dir) {
    Error error = Common::MakeErrorWithArgs(Code::kOpenDirectoryFailed, Msg::kOpenDirectoryFailed,
                                            HV_SITE("MSVirtualPCVM"), "path", {dirPath});
    Common::Throw(Common::Wrap(std::move(error), host.root->TakeError()));
  }
  if (file.empty() || !VirtualWareRaw::FileObjectExists(*dir, file)) {
    HV_THROW_ARGS(Code::kFindFileFailed, Msg::kFindFileFailed, "CheckFileExistence", "fileName", {vmcPath});
  }
  return Processor::MakeRef<VirtualWareRaw::SafeVM, MSVirtualPCVM>(host, std::move(dir), dirPath, file);
}

AutoRef<VirtualWareRaw::SafeVM> CreateMSVirtualPCVirtualMachine(const HostAccess& host, const std::u16string& location,
                                                                const std::u16string& name, uint32_t) {
  const std::u16string fsName = MakeVMFileSystemName(name);
  const std::u16string dirPath = VirtualWareRaw::JoinPath(location, fsName);
  std::unique_ptr<rio_dir> parent = FileLayer::OpenDir(host.root, location);
  if (!parent) {
    Error error = Common::MakeErrorWithArgs(Code::kOpenVMFailed, Msg::kAccessStorageFailed, HV_SITE("MSVirtualPCVM"),
                                            "location", {location});
    Common::Throw(Common::Wrap(std::move(error), host.root->TakeError()));
  }
  if (fsName.empty() || fsName == u"." || fsName == u"..") {
    HV_THROW_ARGS(Code::kCreateVMFailed, Msg::kCreateVMFailed, "MSVirtualPCVM", "name", {name});
  }
  std::shared_ptr<rio_dir> dir = FileLayer::OpenDir(*parent, fsName);
  bool created = false;
  if (!dir) {
    parent->TakeError();
    if (!parent->CreateDir(fsName, nullptr) || !(dir = FileLayer::OpenDir(*parent, fsName))) {
      Error error = Common::MakeErrorWithArgs(Code::kCreateDirectoryFailed, Msg::kCreateDirectoryFailed,
                                              HV_SITE("CreateDirectory"), "path", {dirPath});
      Common::Throw(Common::Wrap(std::move(error), parent->TakeError()));
    }
    created = true;
  }
  const std::u16string configFile = fsName + kVmcExtension;
  const auto undo = [&] {
    if (created && !parent->RemoveDir(fsName)) parent->TakeError();
  };
  if (VirtualWareRaw::FileObjectExists(*dir, configFile)) {
    HV_THROW_ARGS(Code::kVMExists, Msg::kVMExists, "CreateMSVPCVirtualMachine", "name", {name});
  }
  std::unique_ptr<si_file> source = OpenMachineTemplate();
  if (!source) {
    undo();
    HV_THROW(Code::kTemplateMissing, Msg::kTemplateMissing, "MSVirtualPCVM");
  }
  auto* machine = Processor::CreateObject<MSVirtualPCVM>(host, dir, dirPath, configFile);
  auto vm = AutoRef<VirtualWareRaw::SafeVM>::Adopt(static_cast<VirtualWareRaw::SafeVM*>(machine),
                                                   Processor::InterfaceMetaClass<VirtualWareRaw::SafeVM>::Instance());
  try {
    machine->Create(*source);
  } catch (const Error&) {
    undo();
    throw;
  }
  return vm;
}

}  // namespace VirtualPC
