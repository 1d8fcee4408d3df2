// Writer of text XML in UTF-8 with CR LF line ends.
#pragma once

#include <string>
#include <string_view>

#include "core/xml/tag.h"
#include "core/xml/xml_stream.h"

namespace Xml {

enum WriterFlags : unsigned {
  kWriteIndented = 1,       // each child on a line of its own
  kWriteByteOrderMark = 2,  // EF BB BF first
  kWriteNoDeclaration = 4,  // leave out <?xml ... ?>
  kWriteBinary = 8,         // binary XML instead of text
  // A document read from text (its root carries a DocumentSource) is written
  // as it was read: in its encoding, with its declaration, comments, layout
  // and the markup of every value, attribute and tag nobody changed. New
  // layout follows the document's line ends and indentation. Documents
  // without a source are written as the other flags say.
  kWriteSource = 16,
};

inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n";

// The text a comment element is written with: its segments joined, "--"
// broken by U+200B and characters XML cannot hold as U+FFFD.
std::u16string CommentText(const Tag& comment);

// Appends the XML form of a text (or, in attribute mode, of an attribute
// value) to out.
void EscapeText(std::u16string_view text, bool attribute, std::string& out);

// Writes the document rooted at root. Throws Common::Error; a tree that the
// readers could not read back (bad names, a broken text invariant, too deep)
// is refused before anything is written.
void WriteTextXml(const Tag& root, XmlOutput& output, unsigned flags);

// The whole document as one string.
std::string TextXmlString(const Tag& root, unsigned flags);

}  // namespace Xml
