#include "virtual_pc/vm/vm_layout.h"

#include <set>

#include "common/server/vm_utils.h"
#include "core/common/error.h"

namespace VirtualPC {
namespace {

const BusLayout kBuses[] = {
    {"ide_adapter", "ide_controller", 2, 2},
    {"scsi_adapter", "scsi_controller", 4, 15},
};

std::u16string Wide(const std::string& text) { return Common::Utf8ToUtf16(text); }

std::optional<uint32_t> IdOf(const Xml::Tag& tag) {
  const auto it = tag.Attributes.find("id");
  if (it == tag.Attributes.end()) return std::nullopt;
  const std::optional<uint64_t> value = ParseDecimal(it->second);
  if (!value || *value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

// Ids compare as numbers, so "01" and "1" are one id.
void CheckUniqueIds(const Xml::Tag& parent, std::string_view childName, const std::string& keyPath,
                    const std::u16string& vmcPath) {
  std::set<uint32_t> seen;
  for (const auto& child : parent.Children) {
    if (child->Name != childName) continue;
    const std::optional<uint32_t> id = IdOf(*child);
    if (id && !seen.insert(*id).second) {
      HV_THROW_ARGS(Code::kInvalidConfigFormat, Msg::kConfigDuplicateId, "LoadConfig", "fileName,keyPath,id",
                    {vmcPath, Wide(keyPath), VirtualWareRaw::ToText(*id)});
    }
  }
}

}  // namespace

const BusLayout* GetBusLayout(uint32_t bus) { return bus < std::size(kBuses) ? &kBuses[bus] : nullptr; }

Xml::Tag* FindChild(const Xml::Tag& parent, std::string_view name) {
  for (const auto& child : parent.Children) {
    if (child->Name == name) return child.get();
  }
  return nullptr;
}

std::optional<std::u16string> ChildValue(const Xml::Tag& tag, std::string_view path) {
  const Xml::Tag* current = &tag;
  while (!path.empty()) {
    const size_t dot = path.find('.');
    current = FindChild(*current, path.substr(0, dot));
    if (!current) return std::nullopt;
    path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
  }
  return current->Text;
}

std::optional<uint64_t> ParseDecimal(std::u16string_view text) {
  try {
    return VirtualWareRaw::Convert(text);
  } catch (const Common::Error&) {
    return std::nullopt;
  }
}

std::string MachineLayout::ControllerKeyPath(const BusLayout& bus) {
  return std::string(kPciBusPath) + "." + bus.adapterPath + "." + bus.controllerName;
}

std::string MachineLayout::LocationKeyPath(const BusLayout& bus, uint32_t controller) {
  return ControllerKeyPath(bus) + "[" + std::to_string(controller) + "].location";
}

void MachineLayout::ThrowNotANumber(const std::string& keyPath, const std::u16string& text) const {
  HV_THROW_ARGS(Code::kInvalidConfigFormat, Msg::kConfigValueNotNumber, "LoadConfig", "fileName,keyPath,value",
                {vmcPath_, Wide(keyPath), text});
}

void MachineLayout::Validate() const {
  const Xml::Tag* pciBus = config_.OpenTag(kPciBusPath);
  if (!pciBus) {
    HV_THROW_ARGS(Code::kInvalidConfigFormat, Msg::kConfigKeyMissing, "LoadConfig", "fileName,keyPath",
                  {vmcPath_, Wide(kPciBusPath)});
  }
  for (const BusLayout& bus : kBuses) {
    const Xml::Tag* adapter = FindChild(*pciBus, bus.adapterPath);
    if (!adapter) continue;
    CheckUniqueIds(*adapter, bus.controllerName, ControllerKeyPath(bus), vmcPath_);
    for (const auto& controller : adapter->Children) {
      if (controller->Name != bus.controllerName) continue;
      const std::optional<uint32_t> id = IdOf(*controller);
      if (id) CheckUniqueIds(*controller, "location", LocationKeyPath(bus, *id), vmcPath_);
    }
  }
}

Xml::Tag* MachineLayout::FindController(const BusLayout& bus, uint32_t controller) const {
  const Xml::Tag* pciBus = config_.OpenTag(kPciBusPath);
  const Xml::Tag* adapter = pciBus ? FindChild(*pciBus, bus.adapterPath) : nullptr;
  if (!adapter) return nullptr;
  for (const auto& child : adapter->Children) {
    if (child->Name == bus.controllerName && IdOf(*child) == controller) return child.get();
  }
  return nullptr;
}

Xml::Tag* MachineLayout::FindLocation(const Xml::Tag& controller, uint32_t device) {
  for (const auto& child : controller.Children) {
    if (child->Name == "location" && IdOf(*child) == device) return child.get();
  }
  return nullptr;
}

bool MachineLayout::IsHardDisk(const Xml::Tag& location, const std::string& keyPath) const {
  const std::optional<std::u16string> driveType = ChildValue(location, "drive_type");
  if (!driveType) return true;
  const std::optional<uint64_t> value = ParseDecimal(*driveType);
  if (!value) ThrowNotANumber(keyPath + ".drive_type", *driveType);
  return *value == 1;
}

std::optional<uint64_t> MachineLayout::Integer(const std::string& keyPath) const {
  std::u16string text;
  if (!config_.GetValue(keyPath, text)) return std::nullopt;
  const std::optional<uint64_t> value = ParseDecimal(text);
  if (!value) ThrowNotANumber(keyPath, text);
  return value;
}

}  // namespace VirtualPC
