#include "common/server/vm_utils.h"

#include <array>

#include "core/common/error.h"
#include "processor/runtime.h"

namespace VirtualWareRaw {
namespace {

// Built at load time; indexed by value.
const std::array<const char*, 16> kControllerKinds = {
    "Unknown",          "LSILogic",   "LSILogicSAS", "BusLogic",
    "Paravirtual",      "IDE",        "SATA",        "NVME",
    "AutoScsi",         "IbmVScsi",   "LsiSas1078",  "Virtio-Scsi",
    "VirtioScsiSingle", "LSI53C895A", "LSI53C810",   "MegaRaidSas8708EM2"};
const std::array<const char*, 2> kSecurityKinds = {"ConfidentialVM", "TrustedLaunch"};
const std::array<const char*, 2> kFirmwareKinds = {"bios", "efi"};
const std::array<const char16_t*, 5> kPowerStates = {u"Running", u"Stopped", u"Suspended", u"WaitInput", u"Unknown"};

template <size_t N>
const char* Lookup(const std::array<const char*, N>& table, int32_t value) {
  return value >= 0 && static_cast<size_t>(value) < N ? table[value] : nullptr;
}

}  // namespace

MetaClass* CommonVMCollectionImpl::GetMetaClass() {
  return Processor::InterfaceMetaClass<SafeVMCollection>::Instance();
}

InterfacePair CommonVMCollectionImpl::QueryInterface(uint32_t id) {
  if (id == InterfaceIds::SafeVMCollection || id == InterfaceIds::Interface) {
    return Processor::AnswerInterface<SafeVMCollection>(this);
  }
  return {};
}

Common::Error CommonVMCollectionImpl::GetCount(uint32_t& count) {
  count = static_cast<uint32_t>(machines_.size());
  return Common::Success();
}

Common::Error CommonVMCollectionImpl::GetItem(uint32_t index, AutoRef<SafeVM>& vm) {
  if (index >= machines_.size()) return Common::MakeError(Code::kBadVMIndex, Msg::kBadVMIndex, HV_SITE("GetItem"));
  vm = machines_[index];
  return Common::Success();
}

Common::Error HardDiskList::GetCount(uint32_t& count) {
  count = static_cast<uint32_t>(disks_.size());
  return Common::Success();
}

Common::Error HardDiskList::GetItem(uint32_t index, AutoRef<SafeHardDisk>& disk) {
  if (index >= disks_.size()) return Common::MakeError(Code::kCollectionIndexInvalid, badIndex_, HV_SITE("GetItem"));
  disk = disks_[index];
  return Common::Success();
}

AutoRef<SafeVMCollection> MakeVMCollection(std::vector<AutoRef<SafeVM>> machines) {
  auto* collection = Processor::CreateObject<CommonVMCollectionImpl>();
  for (auto& machine : machines) collection->Add(std::move(machine));
  return AutoRef<SafeVMCollection>::Adopt(static_cast<SafeVMCollection*>(collection),
                                          Processor::InterfaceMetaClass<SafeVMCollection>::Instance());
}

TextList GetVMFiles(SafeVM& vm) {
  TextList files;
  auto properties = AutoRef<PropertySet>::Adopt(vm.QueryInterface(InterfaceIds::PropertySet));
  std::u16string fileName;
  if (!properties) HV_THROW(Code::kInternalError, Msg::kInternalError, "GetVMFiles");
  if (Common::Error error = properties->GetProperty(u"FileName", fileName)) Common::Throw(error);
  files.push_back(fileName);
  AutoRef<SafeHardDiskCollection> disks;
  if (Common::Error error = vm.GetHardDisks(disks)) Common::Throw(error);
  uint32_t count = 0;
  if (Common::Error error = disks->GetCount(count)) Common::Throw(error);
  for (uint32_t i = 0; i < count; ++i) {
    AutoRef<SafeHardDisk> disk;
    std::u16string name;
    if (Common::Error error = disks->GetItem(i, disk)) Common::Throw(error);
    if (Common::Error error = disk->GetFileName(name)) Common::Throw(error);
    files.push_back(name);
  }
  return files;
}

std::u16string PowerStateText(int32_t state) {
  if (state >= kPowerRunning && state <= kPowerUnknown) return kPowerStates[state - kPowerRunning];
  return u"Unknown";
}

std::u16string GuestOSText(int32_t) { return u"Unknown"; }

const char* FirmwareTypeText(int32_t type) { return Lookup(kFirmwareKinds, type); }

std::optional<int32_t> FirmwareTypeFromText(std::u16string_view text) {
  for (size_t i = 0; i < kFirmwareKinds.size(); ++i) {
    if (Common::Utf8ToUtf16(kFirmwareKinds[i]) == text) return static_cast<int32_t>(i);
  }
  return std::nullopt;
}

const char* ControllerKindText(int32_t kind) { return Lookup(kControllerKinds, kind); }
const char* SecurityKindText(int32_t kind) { return Lookup(kSecurityKinds, kind); }

std::u16string ToText(uint64_t value) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return text;
}

std::u16string ProcessorArchitectureText(std::string_view vendor, bool longMode) {
  if (!longMode) return u"x86";
  if (vendor == "GenuineIntel") return u"Intel64";
  if (vendor == "AuthenticAMD") return u"AMD64";
  return {};
}

std::optional<Common::Guid> VMUuidFromText(std::u16string_view text) {
  if (text.size() == 38 && text.front() == u'{' && text.back() == u'}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  return Common::ParseGuid(text);
}

}  // namespace VirtualWareRaw
