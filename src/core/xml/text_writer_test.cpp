#include "core/xml/text_writer.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/xml/xml_testutil.h"
#include "thrown.h"

namespace Xml {
namespace {

using HvTest::Thrown;
using Testing::Element;
using Testing::Load;
using Testing::MessageOf;

TEST(EscapeText, EscapesByModeAndKeepsWhatReadersWouldChange) {
  const std::u16string odd = {u'x', 0xDC00, 0xD800, 0xFFFF, 0xFFFD};  // lone surrogates, a non-character
  const struct {
    std::u16string text;
    bool attribute;
    const char* escaped;
  } cases[] = {
      // Space runs stay alive through the reader, which reduces them.
      {u"a  b", false, "a &#32;b"},
      {u"a   b", false, "a &#32;&#32;b"},
      {u" a b ", false, "&#32;a b&#32;"},
      {u" ", false, "&#32;"},
      {u"< x", false, "&lt;&#32;x"},  // after an escape, not plain
      // CDATA only for safe multi-line text, read literally, so LF stays LF.
      {u"one\ntwo <&>", false, "<![CDATA[one\ntwo <&>]]>"},
      {u"one\nx]]>y", false, "one&#10;x]]>y"},
      {u"one\n\r", false, "one&#10;&#13;"},     // CR is not kept by readers
      {u"a\n\xFFFE", false, "a&#10;&#65534;"},  // not an XML character
      {u"a\nb", true, "a&#10;b"},               // never in attributes
      {u"<a & \"b\">", false, "&lt;a &amp;&#32;\"b\">"},
      {u"<a & \"b\">", true, "&lt;a &amp;&#32;&quot;b&quot;>"},
      {u"\t\x01", false, "&#9;&#1;"},
      {odd, false, "x&#56320;&#55296;&#65535;\xEF\xBF\xBD"},
      {u"\U0001F600 \u00E9", false, "\xF0\x9F\x98\x80 \xC3\xA9"},
  };
  for (const auto& c : cases) {
    std::string out;
    EscapeText(c.text, c.attribute, out);
    EXPECT_EQ(out, c.escaped);
  }
  EXPECT_EQ(Load(TextXmlString(*Element("r", u"a  b"), 0))->Text, u"a  b");
}

TEST(TextWriter, WritesDeclarationFlagsAndCompactLayout) {
  auto root = Element("r");
  root->Attributes["b"] = u"2";
  root->Attributes["a"] = u"1";
  AppendChild(*root, Element("c", u"x"));
  root->Children[0]->Tail = u"t";
  EXPECT_EQ(TextXmlString(*root, 0),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<r a=\"1\" b=\"2\"><c>x</c>t</r>\r\n");
  EXPECT_EQ(TextXmlString(*root, kWriteByteOrderMark | kWriteNoDeclaration),
            "\xEF\xBB\xBF<r a=\"1\" b=\"2\"><c>x</c>t</r>\r\n");
  EXPECT_EQ(TextXmlString(*root, kWriteBinary).substr(0, 4), "BXML");
}

TEST(TextWriter, IndentsOnlyWhereThereIsNoText) {
  auto root = Element("r");
  Tag* a = AppendChild(*root, Element("a"));
  AppendChild(*a, Element("b", u"x"));
  AppendChild(*root, Element("c"));
  root->Children[0]->Tail = u"mixed";
  EXPECT_EQ(TextXmlString(*root, kWriteIndented | kWriteNoDeclaration),
            "<r>\r\n\t<a>\r\n\t\t<b>x</b>\r\n\t</a>mixed<c></c>\r\n</r>\r\n");
  auto back = Load(TextXmlString(*root, kWriteIndented));
  EXPECT_TRUE(SameTree(*root, *back));

  root->Attributes["xml:space"] = u"preserve";
  EXPECT_EQ(TextXmlString(*root, kWriteIndented | kWriteNoDeclaration),
            "<r xml:space=\"preserve\"><a><b>x</b></a>mixed<c></c></r>\r\n");
}

TEST(TextWriter, WritesCommentElements) {
  auto root = Element("r");
  std::u16string text = u" a--b\x01 ";
  AppendChild(*root, Element("!--", text));
  EXPECT_EQ(TextXmlString(*root, kWriteNoDeclaration), "<r><!-- a-\xE2\x80\x8B-b\xEF\xBF\xBD  --></r>\r\n");
  auto back = Load(TextXmlString(*root, 0));
  ASSERT_EQ(back->Children.size(), 1u);
  EXPECT_EQ(back->Children[0]->Text, CommentText(*root->Children[0]));
}

TEST(TextWriter, RefusesTreesThatWouldNotReadBack) {
  auto bad = Element("r");
  bad->Attributes["1x"] = u"";
  EXPECT_EQ(Thrown([&] { TextXmlString(*bad, 0); }).Message(), MessageOf(Msg::kXmlInvalidName));
  // A comment as the root would leave the document without an element.
  EXPECT_EQ(Thrown([&] { TextXmlString(*Element("!--", u"c"), 0); }).Message(), MessageOf(Msg::kXmlInvalidName));
  auto deep = Element("r");
  Tag* at = deep.get();
  for (size_t i = 0; i < kMaxDepth; ++i) at = AppendChild(*at, Element("r"));
  EXPECT_EQ(Thrown([&] { TextXmlString(*deep, 0); }).Message(), MessageOf(Msg::kXmlTooDeep));
}

class ShortOutput final : public XmlOutput {
 public:
  explicit ShortOutput(size_t room) : room_(room) {}
  size_t Write(const void*, size_t size) override {
    size = std::min(size, room_);
    room_ -= size;
    return size;
  }

 private:
  size_t room_;
};

TEST(TextWriter, ReportsAFullDisk) {
  auto root = Element("r", u"text");
  ShortOutput output(10);
  Common::Error error = Thrown([&] { WriteTextXml(*root, output, 0); });
  EXPECT_EQ(error.Code(), Code::kDiskFull);
  EXPECT_STREQ(error.Function(), "Write");
}

}  // namespace
}  // namespace Xml
