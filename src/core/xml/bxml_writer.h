// Writer of binary XML version 1.
#pragma once

#include <string>

#include "core/xml/tag.h"
#include "core/xml/xml_stream.h"

namespace Xml {

// Throws Common::Error; a tree that cannot be written (more than 255
// attributes on one element, a broken text invariant, too deep) is refused
// before anything is written.
void WriteBinaryXml(const Tag& root, XmlOutput& output);

std::string BinaryXmlString(const Tag& root);

}  // namespace Xml
