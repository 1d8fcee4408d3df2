// The events that the XML readers report while they parse a document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Xml {

class xml_reader_interface {
 public:
  virtual ~xml_reader_interface() = default;
  virtual void StartDocument() = 0;
  virtual void EndDocument() = 0;
  virtual void StartTag(const std::string& name) = 0;
  virtual void EndTag() = 0;
  virtual void Attribute(const std::string& name, const std::u16string& value) = 0;
  // The whole text segment since the last start or end tag.
  virtual void Text(const std::u16string& value) = 0;
  // Narrow items of binary XML version 2 that are not element text.
  virtual void FurtherItem(const std::string& value) = 0;

  // How the text reader found things written (UTF-8 markup as read), for
  // writing a document back as it was. Sinks that only want the tree ignore
  // these.
  // Everything before the root, after the byte order mark.
  virtual void SourceProlog(std::string_view) {}
  // After StartTag: the element's name in the text.
  virtual void SourceName(std::string_view) {}
  // After Attribute: its markup with the whitespace before it.
  virtual void SourceAttribute(std::string_view) {}
  // The end of a start tag: whitespace and ">" or "/>".
  virtual void SourceTagEnd(std::string_view, bool /*empty*/) {}
  // Once per text segment of the open element, before the next start or
  // end tag, also when empty; `preserve` tells whether it was read inside
  // xml:space="preserve".
  virtual void SourceText(std::string_view, bool /*blank*/, bool /*preserve*/) {}
  // A comment, reported as an element named "!--": its whole markup.
  virtual void SourceComment(std::string_view) {}
  // Before EndTag of an element not written as <name/>.
  virtual void SourceEndTag(std::string_view) {}
  // Everything after the root.
  virtual void SourceEpilog(std::string_view) {}
};

// Runs a reader to the end and sets stopped to the offset it reached, also
// when it throws, so that a caller can say where a document went wrong.
template <class Reader>
void RunToEnd(Reader& reader, size_t& stopped) {
  try {
    reader.Run();
  } catch (...) {
    stopped = reader.Offset();
    throw;
  }
  stopped = reader.Offset();
}

}  // namespace Xml
