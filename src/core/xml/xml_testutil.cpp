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
  tag->Text = std::move(text);
  return tag;
}

std::string Utf16Bytes(std::u16string_view text, bool little) {
  std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t c : text) {
    const char low = static_cast<char>(c & 0xFF), high = static_cast<char>(c >> 8);
    out += little ? low : high;
    out += little ? high : low;
  }
  return out;
}

}  // namespace Xml::Testing
