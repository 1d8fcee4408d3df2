// The fixed properties a Virtual PC server reports, with the host
// processor's identification.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hvplug/virtualware.h"

namespace VirtualPC {

struct ProcessorFacts {
  std::string vendor;  // the 12 characters of leaf 0
  uint32_t family = 0;
  uint32_t model = 0;
  bool longMode = false;
};

// Family and model from leaf 1's EAX: the extended fields count only for
// base families 6 and 15, as the processor makers define them.
void DecodeProcessorSignature(uint32_t eax, uint32_t& family, uint32_t& model);
// This machine's processor, read once per process.
const ProcessorFacts& HostProcessor();

// The text value of a property, nothing for names outside the table
// (names are case-sensitive).
std::optional<std::u16string> ServerProperty(const std::u16string& name);
// "SupportedFirmwareTypes": "1", "0".
std::optional<VirtualWareRaw::TextList> ServerListProperty(const std::u16string& name);
const VirtualWareRaw::TextList& ServerPropertyNames();

}  // namespace VirtualPC
