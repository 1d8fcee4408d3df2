#include "core/xml/binary_reader.h"

#include "core/common/assert.h"

namespace Xml {

void binary_reader::StartDocument() { tagStack.clear(); }

void binary_reader::EndDocument() { HV_ASSERT(!tagStack.size()); }

void binary_reader::StartTag(const std::string& name) {
  auto tag = std::make_unique<Tag>(name);
  Tag* raw = tag.get();
  if (!tagStack.empty()) {
    AppendChild(*tagStack.back(), std::move(tag));
  } else {
    root_ = std::move(tag);
  }
  tagStack.push_back(raw);
}

void binary_reader::EndTag() {
  HV_ASSERT(tagStack.size());
  if (!tagStack.empty()) tagStack.pop_back();
}

void binary_reader::Attribute(const std::string& name, const std::u16string& value) {
  HV_ASSERT(tagStack.size());
  if (!tagStack.empty()) tagStack.back()->Attributes[name] = value;
}

void binary_reader::Text(const std::u16string& value) {
  HV_ASSERT(tagStack.size());
  if (tagStack.empty()) return;
  HV_ASSERT(tagStack.back()->Text.size());
  if (tagStack.back()->Text.empty()) return;
  tagStack.back()->Text.back() = value;
}

void binary_reader::FurtherItem(const std::string&) {}

}  // namespace Xml
