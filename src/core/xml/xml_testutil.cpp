#include "core/xml/xml_testutil.h"

#include <gtest/gtest.h>

#include "thrown.h"

namespace Xml::Testing {

using HvTest::Thrown;

std::u16string MessageOf(Common::MessageId id) {
  const char16_t* text = Common::GetMessage(id);
  return text ? text : u"";
}

std::unique_ptr<Tag> Load(std::string_view data, Common::Error& error, ReadPosition& where) {
  std::unique_ptr<Tag> root;
  error = Thrown([&] { root = LoadDocument(data, where); });
  return root;
}

std::unique_ptr<Tag> Load(std::string_view data) {
  Common::Error error;
  ReadPosition where;
  auto root = Load(data, error, where);
  EXPECT_TRUE(error.IsSuccess()) << Common::DescribeErrorChain(error) << " at " << where.line << ":" << where.column;
  return root;
}

std::unique_ptr<Tag> Element(const std::string& name, std::u16string text) {
  auto tag = std::make_unique<Tag>(name);
  tag->Text[0] = std::move(text);
  return tag;
}

}  // namespace Xml::Testing
