// The events that the XML readers report while they parse a document.
#pragma once

#include <string>

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
};

}  // namespace Xml
