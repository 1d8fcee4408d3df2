// Loading and writing whole XML documents as tag trees.
#pragma once

#include <memory>
#include <string_view>

#include "core/xml/tag.h"
#include "core/xml/text_reader.h"
#include "core/xml/xml_stream.h"

namespace Xml {

// Reads a document; the format follows from its first bytes: the "BXML"
// signature means binary XML, a start tag (after an optional byte order mark,
// UTF-8 or UTF-16) text XML. Throws Common::Error; `where` receives the line
// and column at which reading stopped (for binary XML line 1 and the byte
// offset plus 1). A text document keeps its source form (Tag::Source), so
// that kWriteSource writes it back as it was.
std::unique_ptr<Tag> LoadDocument(std::string_view data, ReadPosition& where);
// The same from an input, read whole (at most kMaxDocumentSize bytes).
std::unique_ptr<Tag> LoadDocument(XmlInput& input, ReadPosition& where);

// Text XML, or binary XML with kWriteBinary; flags as for WriteTextXml.
void WriteDocument(const Tag& root, XmlOutput& output, unsigned flags);

// UTF-16 with a byte order mark as UTF-8 (without one); other data as it is.
// Throws for an odd number of UTF-16 bytes.
std::string TranscodeUtf16(std::string_view data);

}  // namespace Xml
