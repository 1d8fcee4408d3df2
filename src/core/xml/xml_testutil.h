// Helpers shared by the XML tests.
#pragma once

#include <memory>
#include <string>

#include "core/common/error.h"
#include "core/xml/document.h"
#include "core/xml/tag.h"

namespace Xml::Testing {

// The message of an id in the active table, for comparisons.
std::u16string MessageOf(Common::MessageId id);

// Loads data and returns the tree; failures come back through error.
std::unique_ptr<Tag> Load(std::string_view data, Common::Error& error, ReadPosition& where);
std::unique_ptr<Tag> Load(std::string_view data);  // must succeed

// Builds element(name) with the given texts and children.
std::unique_ptr<Tag> Element(const std::string& name, std::u16string text = u"");

// text as UTF-16 bytes after a byte order mark, little or big endian.
std::string Utf16Bytes(std::u16string_view text, bool little);

}  // namespace Xml::Testing
