// Reader of text XML in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Decoding markup that ReadTextXml read before, for writing a document back
// as it was; none of these fail on such markup.
// What a text segment's markup reads as (whitespace alone reads as nothing).
std::u16string DecodeSourceText(std::string_view raw, bool preserve);
// The attributes between a start tag's name and its end, each with its
// markup (the whitespace before it included).
struct RawAttribute {
  std::string_view name;
  std::u16string value;
  std::string_view raw;
};
std::vector<RawAttribute> ParseSourceAttributes(std::string_view markup);
// What a comment's whole markup reads as.
std::u16string CommentValue(std::string_view markup);

// Line and column of a byte offset; CR, LF and CR LF each end a line.
ReadPosition PositionOf(std::string_view text, size_t offset);

}  // namespace Xml
