#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/xml/bxml_reader.h"
#include "core/xml/bxml_writer.h"
#include "core/xml/xml_testutil.h"
#include "thrown.h"

namespace Xml {
namespace {

using HvTest::Thrown;
using Testing::Element;
using Testing::Load;
using Testing::MessageOf;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

TEST(BinaryXml, ReadsVersion1) {
  const std::string data =
      "BXML" + Bytes({1, 1,    0,    1, 'r',       // element: new name 0 "r"
                      1,                           // one attribute
                      1, 1,    'k',  2, 'v', 'w',  // new name 1 "k" = "vw"
                      3,                           // three texts: two children
                      1, 'a',                      // text 0
                      2, 1,    'c',  0, 1,   0,    // child: new name 2 "c", no attributes, one empty text
                      2, 0xC3, 0xA9,               // text 1: U+00E9
                      2, 0,    1,    1, 'x',       // child: name 2 again by id, text "x"
                      0});                         // text 2
  auto root = Load(data);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Name, "r");
  EXPECT_EQ(root->Attributes["k"], u"vw");
  EXPECT_EQ(Segments(*root), (TextSegments{u"a", u"\u00E9", u""}));
  ASSERT_EQ(root->Children.size(), 2u);
  EXPECT_EQ(root->Children[1]->Name, "c");
  EXPECT_EQ(root->Children[1]->Text, u"x");
}

class Recorder final : public xml_reader_interface {
 public:
  void StartDocument() override { log += "["; }
  void EndDocument() override { log += "]"; }
  void StartTag(const std::string& name) override { log += "<" + name; }
  void EndTag() override { log += ">"; }
  void Attribute(const std::string& name, const std::u16string& value) override {
    log += " " + name + "=" + Common::Utf16ToUtf8(value);
  }
  void Text(const std::u16string& value) override { log += "'" + Common::Utf16ToUtf8(value) + "'"; }
  void FurtherItem(const std::string& value) override { log += "{" + value + "}"; }
  std::string log;
};

TEST(BinaryXml, ReadsVersion2WithItems) {
  const std::string data =
      "BXML" + Bytes({2, 0,   1,   1,   'r',       // element: new name 1 "r"
                      2, 1,   'k', 4,   'v', 'w',  // attribute: new name 2 "k", value length 2 (shifted)
                      0,                           // end of attributes
                      4, 'a', 'b',                 // text "ab"
                      3, 1,   'c', 0,   0,   0,    // child "c": no attributes, empty text, no children
                      3, 'n',                      // narrow item "n"
                      3, 0,   2,   'x', 0,         // child "c" by id, text "x", no children
                      0,                           // empty text
                      0});                         // end of r's content
  Recorder recorder;
  size_t stopped = 0;
  ReadBinaryXml(data, recorder, stopped);
  EXPECT_EQ(recorder.log, "[<r k=vw'ab'<c''>{n}<c'x'>''>]");
  EXPECT_EQ(stopped, data.size());
  auto root = Load(data);
  ASSERT_TRUE(root);
  EXPECT_EQ(Segments(*root), (TextSegments{u"ab", u"", u""}));
}

TEST(BinaryXml, RefusesUnknownVersionsWithoutReadingOn) {
  Common::Error error;
  ReadPosition where;
  EXPECT_FALSE(Load("BXML" + Bytes({3, 1, 0, 1, 'r'}), error, where));
  EXPECT_EQ(error.Message(), MessageOf(Msg::kXmlBinaryVersion));
  EXPECT_EQ(where.column, 5u);  // stopped at the version byte
}

TEST(BinaryXml, RefusesBadStructure) {
  struct Case {
    std::string data;
    Common::MessageId message;
  } cases[] = {
      {"BXML" + Bytes({1, 1, 0, 1, 'r', 0, 0}), Msg::kXmlBinaryBadTextCount},
      {"BXML" + Bytes({1, 1, 0, 1, 'r', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}), Msg::kXmlBinaryBadInteger},
      {"BXML" + Bytes({1, 1, 0, 1, 'r', 0, 0x80, 0x80, 0x80, 0x80, 0x80, 0}), Msg::kXmlBinaryBadInteger},
      {"BXML" + Bytes({2, 0, 1, 1, 'r', 2, 1, 'k', 3, 'v', 0}), Msg::kXmlBinaryBadLength},
      {"BXML" + Bytes({2, 0, 0}), Msg::kXmlBinaryNoRoot},
  };
  for (const auto& c : cases) {
    Common::Error error;
    ReadPosition where;
    EXPECT_FALSE(Load(c.data, error, where));
    EXPECT_EQ(error.Message(), MessageOf(c.message)) << Common::DescribeErrorChain(error);
  }
}

TEST(BinaryXml, ShortInputIsTheEndOfTheFile) {
  // A text that claims more bytes than there are must not allocate them.
  for (const std::string& data :
       {"BXML" + Bytes({1}), "BXML" + Bytes({1, 1, 0, 1, 'r', 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
        "BXML" + Bytes({1, 1, 0, 1, 'r', 0, 2, 0})}) {
    Common::Error error;
    ReadPosition where;
    EXPECT_FALSE(Load(data, error, where));
    EXPECT_EQ(error.Code(), Code::kEndOfFile);
    EXPECT_STREQ(error.Function(), "Read");
    EXPECT_STREQ(error.Source(), "core/include/file/file");
    EXPECT_EQ(where.column, data.size() + 1);
  }
}

TEST(BinaryXml, RefusesDeepNestingWithoutRecursing) {
  std::string data = "BXML" + Bytes({1, 1, 0, 1, 'a', 0, 2, 0});
  for (int i = 0; i < 100000; ++i) data += Bytes({0, 0, 2, 0});
  Common::Error error;
  ReadPosition where;
  EXPECT_FALSE(Load(data, error, where));
  EXPECT_EQ(error.Message(), MessageOf(Msg::kXmlTooDeep));
}

TEST(BinaryXml, WritesVersion1WithNamesOnce) {
  auto root = Element("r", u"\u00E9");
  root->Attributes["r"] = u"v";
  AppendChild(*root, Element("r"));
  EXPECT_EQ(BinaryXmlString(*root), "BXML" + Bytes({1, 1, 0, 1, 'r',   // new name 0
                                                    1, 0, 1, 'v',      // attribute by id 0 only
                                                    2, 2, 0xC3, 0xA9,  // two texts, the first in UTF-8
                                                    0, 0, 1, 0,        // child by id, no attributes, one empty text
                                                    0}));              // text after the child
}

TEST(BinaryXml, RefusesMoreThan255Attributes) {
  auto root = Element("r");
  for (int i = 0; i < 256; ++i) root->Attributes["a" + std::to_string(i)] = u"";
  EXPECT_EQ(Thrown([&] { BinaryXmlString(*root); }).Message(), MessageOf(Msg::kXmlTooManyAttributes));
  root->Attributes.erase("a0");
  auto back = Load(BinaryXmlString(*root));
  EXPECT_EQ(back->Attributes.size(), 255u);
}

}  // namespace
}  // namespace Xml
