#include "core/xml/binary_reader.h"

#include <utility>

#include "core/common/assert.h"

namespace Xml {

void binary_reader::StartDocument() { tagStack.clear(); }

void binary_reader::EndDocument() { HV_ASSERT(!tagStack.size()); }

void binary_reader::StartTag(const std::string& name) {
  std::unique_ptr<Tag> tag;
  if (sourced_) {
    auto sourced = std::make_unique<SourcedTag>(name);
    sourced->source.document_text = text_;
    tag = std::move(sourced);
  } else {
    tag = std::make_unique<Tag>(name);
  }
  Tag* raw = tag.get();
  if (!tagStack.empty()) {
    // The parent's source texts are pushed as read (SourceText), not kept in
    // step by the edit.
    Tag& parent = *tagStack.back();
    TagSource* source = std::exchange(parent.Source, nullptr);
    AppendChild(parent, std::move(tag));
    parent.Source = source;
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
  if (tagStack.empty()) return;
  tagStack.back()->Attributes[name] = value;
}

void binary_reader::Text(const std::u16string& value) {
  HV_ASSERT(tagStack.size());
  if (tagStack.empty()) return;
  Tag& tag = *tagStack.back();
  (tag.Children.empty() ? tag.Text : tag.Children.back()->Tail) = value;
}

void binary_reader::FurtherItem(const std::string&) {}

TagSource* binary_reader::TopSource() { return tagStack.empty() ? nullptr : tagStack.back()->Source; }

void binary_reader::SourceProlog(std::string_view raw) {
  // Only the text reader reports source form, and it does so first.
  sourced_ = text_ != nullptr;
  if (text_) text_->document.prolog = raw;
}

void binary_reader::SourceName(std::string_view name) {
  if (TagSource* source = TopSource()) {
    source->begin = Offset(name) - 1;
    if (tagStack.size() == 1) text_->rootBegin = source->begin;
  }
}

void binary_reader::SourceTagEnd(std::string_view raw, bool empty) {
  if (TagSource* source = TopSource()) {
    source->tailBegin = Offset(raw);
    source->empty = empty;
  }
}

void binary_reader::SourceText(std::string_view raw, bool blank, bool preserve) {
  if (TagSource* source = TopSource()) {
    // The segment after the last child so far.
    const Xml::SourceText segment(Offset(raw), static_cast<uint32_t>(raw.size()), blank, preserve);
    Tag& tag = *tagStack.back();
    (tag.Children.empty() ? source->text : tag.Children.back()->TailSource) = segment;
  }
}

void binary_reader::SourceComment(std::string_view raw) {
  if (TagSource* source = TopSource()) {
    source->comment = true;
    source->begin = source->tailBegin = Offset(raw);
    source->text = Xml::SourceText(source->begin, 0, false, false);
  }
}

void binary_reader::SourceEndTag(std::string_view raw) {
  if (TagSource* source = TopSource()) source->endTagBegin = Offset(raw);
}

void binary_reader::SourceEpilog(std::string_view raw) {
  if (text_) text_->document.epilog = raw;
}

}  // namespace Xml
