// The machine configuration: values and attributes of an XML document
// addressed by dotted key paths such as "preferences.hardware.memory.ram_size".
// The declaration order below is the slot order.
//
// A Configuration is either a document (it owns the tree) or a view rooted at
// one element of a document it does not own; a view must not outlive its
// document, and a view whose element was removed through another view must
// not be used. Operations throw Common::Error; a missing element is not an
// error: look-ups give null or false.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hvplug/error.h"

class o_file;

namespace VirtualWareRaw {

class Configuration {
 public:
  virtual ~Configuration() = default;  // slots 0, 1

  // 2: moves the other configuration's element to the end of this element's
  // children. A view goes on viewing it there; a document is left empty.
  virtual void AddChild(Configuration& other) = 0;
  // 3: the index-th (from 0) element among the same-named siblings of the
  // element at path.
  virtual std::unique_ptr<Configuration> OpenNth(const std::string& path, uint32_t index) = 0;
  // 4: the element at path, selected by an attribute value when attribute is
  // not empty; with create, missing elements are made.
  virtual std::unique_ptr<Configuration> Open(const std::string& path, const std::string& attribute,
                                              const std::u16string& value, bool create) = 0;
  // 5: the text before the first child of this element.
  virtual void GetText(std::u16string& text) = 0;
  // 6
  virtual void SetValue(const std::string& path, const std::u16string& text) = 0;
  // 7
  virtual void SetAttribute(const std::string& name, const std::u16string& value) = 0;
  // 8
  virtual void SetAttribute(const std::string& path, const std::string& name, const std::u16string& value) = 0;
  // 9
  virtual bool GetValue(const std::string& path, std::u16string& text) = 0;
  // 10
  virtual bool GetAttribute(const std::string& path, const std::string& name, std::u16string& value) = 0;
  // 11: not supported.
  virtual void RemoveValue(const std::string& path) = 0;
  // 12: detaches and destroys this element; the configuration is empty after.
  virtual void Remove() = 0;
};

class ConfigurationParser : public virtual Configuration {
 public:
  // 13: writes the document as text XML, with the UTF-8 byte order mark
  // first when asked, and flushes the file. True when the file reports no
  // error; a failed write is left in the file. A document without a root
  // writes nothing.
  virtual bool Flush(o_file& file, bool byteOrderMark) = 0;
};

}  // namespace VirtualWareRaw
