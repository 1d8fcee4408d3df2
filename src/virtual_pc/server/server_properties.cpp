#include "virtual_pc/server/server_properties.h"

#include <cpuid.h>

#include <cstring>

#include "common/server/vm_utils.h"
#include "core/common/error.h"

namespace VirtualPC {

namespace {

ProcessorFacts ReadHostProcessor() {
  ProcessorFacts facts;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return facts;
  char vendor[12];
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  facts.vendor.assign(vendor, sizeof vendor);
  if (eax >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx)) DecodeProcessorSignature(eax, facts.family, facts.model);
  // __get_cpuid checks the highest extended leaf before reading this one.
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx)) facts.longMode = (edx >> 29) & 1;
  return facts;
}

std::u16string Decimal(uint32_t value) { return Common::Utf8ToUtf16(std::to_string(value)); }

}  // namespace

void DecodeProcessorSignature(uint32_t eax, uint32_t& family, uint32_t& model) {
  const uint32_t baseFamily = (eax >> 8) & 0xF;
  const uint32_t baseModel = (eax >> 4) & 0xF;
  family = baseFamily;
  model = baseModel;
  if (baseFamily == 6 || baseFamily == 15) {
    if (baseFamily == 15) family += (eax >> 20) & 0xFF;
    model += ((eax >> 16) & 0xF) << 4;
  }
}

const ProcessorFacts& HostProcessor() {
  static const ProcessorFacts facts = ReadHostProcessor();
  return facts;
}

std::optional<std::u16string> ServerProperty(const std::u16string& name) {
  static const std::u16string kUuid = u"E7F120F4-5479-4C91-AEA0-ACE049E8F4CC";
  static const std::u16string kVersion = u"5.3.582.27";
  if (name == u"ID" || name == u"UUID") return kUuid;
  if (name == u"Version") return kVersion;
  // Localized texts follow the language of the moment.
  if (name == u"ResourceName") return std::u16string(Common::GetMessage(Msg::kServerResourceName));
  if (name == u"Name") return std::u16string(Common::GetMessage(Msg::kServerName));
  if (name == u"Vendor") return std::u16string(Common::GetMessage(Msg::kServerVendor));
  const ProcessorFacts& cpu = HostProcessor();
  if (name == u"CpuVendor") return Common::Utf8ToUtf16(cpu.vendor);
  if (name == u"CpuArchitecture") return VirtualWareRaw::ProcessorArchitectureText(cpu.vendor, cpu.longMode);
  if (name == u"CpuFamily") return Decimal(cpu.family);
  if (name == u"CpuModel") return Decimal(cpu.model);
  return std::nullopt;
}

std::optional<VirtualWareRaw::TextList> ServerListProperty(const std::u16string& name) {
  if (name == u"SupportedFirmwareTypes") return VirtualWareRaw::TextList{u"1", u"0"};
  return std::nullopt;
}

const VirtualWareRaw::TextList& ServerPropertyNames() {
  static const VirtualWareRaw::TextList kNames{
      u"ID",      u"ResourceName", u"Name",      u"SupportedFirmwareTypes", u"Vendor",
      u"Version", u"UUID",         u"CpuVendor", u"CpuArchitecture",        u"CpuFamily",
      u"CpuModel"};
  return kNames;
}

}  // namespace VirtualPC
