// Builds a tag tree from reader events.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/xml/tag.h"
#include "core/xml/xml_reader_interface.h"

namespace Xml {

class binary_reader final : public xml_reader_interface {
 public:
  void StartDocument() override;
  void EndDocument() override;
  void StartTag(const std::string& name) override;
  void EndTag() override;
  void Attribute(const std::string& name, const std::u16string& value) override;
  void Text(const std::u16string& value) override;
  void FurtherItem(const std::string& value) override;

  // Keeps the source form in each tag (Tag::Source) as offsets into the
  // text being read, which must be `text`'s.
  void KeepSource(boost::intrusive_ptr<SourceDocumentText> text) { text_ = std::move(text); }
  void SourceProlog(std::string_view raw) override;
  void SourceName(std::string_view name) override;
  void SourceTagEnd(std::string_view raw, bool empty) override;
  void SourceText(std::string_view raw, bool blank, bool preserve) override;
  void SourceComment(std::string_view raw) override;
  void SourceEndTag(std::string_view raw) override;
  void SourceEpilog(std::string_view raw) override;

  std::unique_ptr<Tag> TakeRoot() { return std::move(root_); }

 private:
  TagSource* TopSource();
  uint32_t Offset(std::string_view raw) const { return static_cast<uint32_t>(raw.data() - text_->text.data()); }

  std::unique_ptr<Tag> root_;
  std::vector<Tag*> tagStack;
  bool sourced_ = false;  // tags carry their source form
  boost::intrusive_ptr<SourceDocumentText> text_;
};

}  // namespace Xml
