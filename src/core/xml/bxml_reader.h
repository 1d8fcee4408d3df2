// Reader of binary XML ("BXML"), versions 1 and 2.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/xml/xml_reader_interface.h"

namespace Xml {

inline constexpr std::string_view kBinarySignature = "BXML";

// Reads one document that starts with the signature and reports it to sink.
// Throws Common::Error; `stopped` receives the byte offset at which reading
// stopped.
void ReadBinaryXml(std::string_view data, xml_reader_interface& sink, size_t& stopped);

}  // namespace Xml
