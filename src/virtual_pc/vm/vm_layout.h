// How a machine file lays out its disks: controllers per bus, locations per
// controller, the disk paths of a location, and the checks that keep foreign
// files from being misread. Everything throws Common::Error naming the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/xml/tag.h"
#include "virtual_pc/config/configuration.h"

namespace VirtualPC {

struct BusLayout {
  const char* adapterPath;     // below "preferences.hardware.pci_bus"
  const char* controllerName;  // children of the adapter
  uint32_t controllers;
  uint32_t devices;
};

inline constexpr char kPciBusPath[] = "preferences.hardware.pci_bus";

// Bus 0 IDE (2 controllers of 2 devices), bus 1 SCSI (4 of 15); null for
// any other bus.
const BusLayout* GetBusLayout(uint32_t bus);

// Read-only questions about one parsed machine file.
class MachineLayout {
 public:
  MachineLayout(VirtualWareRaw::ConfigurationParserImpl& config, std::u16string vmcPath)
      : config_(config), vmcPath_(std::move(vmcPath)) {}

  // Throws when the file has no pci_bus, or when a bus lists a controller id
  // twice, or a controller a location id twice.
  void Validate() const;

  // The controller element, or null.
  Xml::Tag* FindController(const BusLayout& bus, uint32_t controller) const;
  // The location element of a controller, or null.
  static Xml::Tag* FindLocation(const Xml::Tag& controller, uint32_t device);
  // False for a location whose "drive_type" is present and not 1 (CD and DVD
  // drives); a drive type that is not a number throws.
  bool IsHardDisk(const Xml::Tag& location, const std::string& keyPath) const;

  // The value of a typed integer element; nothing when the element is
  // missing, a throw when its text is not a number.
  std::optional<uint64_t> Integer(const std::string& keyPath) const;

  const std::u16string& VmcPath() const { return vmcPath_; }
  // "preferences.hardware.pci_bus.<adapter>.<controller>" and so on, for
  // messages.
  static std::string ControllerKeyPath(const BusLayout& bus);
  static std::string LocationKeyPath(const BusLayout& bus, uint32_t controller);

  [[noreturn]] void ThrowNotANumber(const std::string& keyPath, const std::u16string& text) const;

 private:
  VirtualWareRaw::ConfigurationParserImpl& config_;
  std::u16string vmcPath_;
};

// The first child named name, or null.
Xml::Tag* FindChild(const Xml::Tag& parent, std::string_view name);
// The text of the element at a dotted path below tag; nothing when missing.
std::optional<std::u16string> ChildValue(const Xml::Tag& tag, std::string_view path);
// A whole decimal number, or nothing.
std::optional<uint64_t> ParseDecimal(std::u16string_view text);

}  // namespace VirtualPC
