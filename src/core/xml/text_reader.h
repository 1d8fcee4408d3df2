// Reader of text XML in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/xml/xml_reader_interface.h"

namespace Xml {

struct ReadPosition {
  uint32_t line = 1;
  uint32_t column = 1;  // in characters, from 1
};

// Reads one document (a leading UTF-8 byte order mark is skipped) and reports
// it to sink. Throws Common::Error on malformed input; `stopped` receives the
// byte offset at which reading stopped, also on success.
void ReadTextXml(std::string_view text, xml_reader_interface& sink, size_t& stopped);

// Line and column of a byte offset; CR, LF and CR LF each end a line.
ReadPosition PositionOf(std::string_view text, size_t offset);

}  // namespace Xml
