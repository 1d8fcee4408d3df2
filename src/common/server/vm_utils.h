// Utilities shared by the machine objects of virtualization servers: the
// machine collection, the files of a machine, value texts and conversions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/common/guid.h"
#include "hvplug/virtualware.h"

namespace VirtualWareRaw {

// An ordered list of machines.
class CommonVMCollectionImpl final : public virtual SafeVMCollection {
 public:
  MetaClass* GetMetaClass() override;
  InterfacePair QueryInterface(uint32_t id) override;
  Common::Error GetCount(uint32_t& count) override;
  // An index at or beyond the count fails with 0x530063.
  Common::Error GetItem(uint32_t index, AutoRef<SafeVM>& vm) override;

  void Add(AutoRef<SafeVM> vm) { machines_.push_back(std::move(vm)); }

 private:
  std::vector<AutoRef<SafeVM>> machines_;
};

AutoRef<SafeVMCollection> MakeVMCollection(std::vector<AutoRef<SafeVM>> machines);

// The count and items of an ordered list of hard disks; the owner answers for
// its class and interfaces. An index at or beyond the count fails with
// 0x530023 and the owner's message.
class HardDiskList : public virtual SafeHardDiskCollection {
 public:
  explicit HardDiskList(Common::MessageId badIndex, std::vector<AutoRef<SafeHardDisk>> disks = {})
      : badIndex_(badIndex), disks_(std::move(disks)) {}
  Common::Error GetCount(uint32_t& count) override;
  Common::Error GetItem(uint32_t index, AutoRef<SafeHardDisk>& disk) override;

  void Add(AutoRef<SafeHardDisk> disk) { disks_.push_back(std::move(disk)); }

 private:
  Common::MessageId badIndex_;
  std::vector<AutoRef<SafeHardDisk>> disks_;
};

// The machine's "FileName" followed by the file of every hard disk: what
// removing the machine deletes. Throws the first error.
TextList GetVMFiles(SafeVM& vm);

// Power states as the server layer numbers them.
enum PowerState : int32_t {
  kPowerRunning = 1,
  kPowerStopped = 2,
  kPowerSuspended = 3,
  kPowerWaitInput = 4,
  kPowerUnknown = 5,
};
enum GuestOS : int32_t { kGuestUnknown = 0 };
enum FirmwareType : int32_t { kFirmwareBios = 0, kFirmwareEfi = 1 };

// The names of the values above; an unknown value gives "Unknown".
std::u16string PowerStateText(int32_t state);
std::u16string GuestOSText(int32_t guest);
// "bios" and "efi"; null for any other value.
const char* FirmwareTypeText(int32_t type);
std::optional<int32_t> FirmwareTypeFromText(std::u16string_view text);
// Controller and machine security kinds by value; null beyond the table.
const char* ControllerKindText(int32_t kind);
const char* SecurityKindText(int32_t kind);

// A whole unsigned decimal number (no sign, no blanks, no overflow); any
// other text throws code 1 from "Convert".
uint64_t Convert(std::u16string_view text);
// The decimal text of value.
std::u16string ToText(uint64_t value);

// From the processor's 12-character vendor text and whether it has a 64-bit
// mode: "Intel64", "AMD64", empty for another 64-bit vendor, "x86" without.
std::u16string ProcessorArchitectureText(std::string_view vendor, bool longMode);

// A GUID in text form with or without braces; nothing for any other text.
std::optional<Common::Guid> VMUuidFromText(std::u16string_view text);

}  // namespace VirtualWareRaw
