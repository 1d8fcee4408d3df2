// Builds a tag tree from reader events.
#pragma once

#include <memory>
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

  std::unique_ptr<Tag> TakeRoot() { return std::move(root_); }

 private:
  std::unique_ptr<Tag> root_;
  std::vector<Tag*> tagStack;
};

}  // namespace Xml
