#include "core/xml/text_reader.h"

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/xml/xml_testutil.h"
#include "core/xml/xml_text.h"

namespace Xml {
namespace {

using Testing::Load;
using Testing::MessageOf;
using Testing::Utf16Bytes;

TEST(TextReader, SkipsThePrologAndKeepsCommentsAsElements) {
  auto root = Load(
      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY x \"]>\">]>\n<!-- c -->\n"
      "<a k='v' b=\"w\"><?pi x?>x<!-- <b> -->y</a>\n<!-- after -->\n");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Name, "a");
  EXPECT_EQ(root->Attributes.size(), 2u);
  EXPECT_EQ(root->Attributes["k"], u"v");
  EXPECT_EQ(Segments(*root), (TextSegments{u"x", u"y"}));
  ASSERT_EQ(root->Children.size(), 1u);
  EXPECT_EQ(root->Children[0]->Name, kCommentName);
  EXPECT_EQ(root->Children[0]->Text, u" <b>");  // less the space before "-->"
}

TEST(TextReader, BuildsTextSegmentsAroundChildren) {
  auto root = Load("<r>a<b/>c<d>e</d></r>");
  ASSERT_TRUE(root);
  ASSERT_EQ(root->Children.size(), 2u);
  EXPECT_EQ(Segments(*root), (TextSegments{u"a", u"c", u""}));
  EXPECT_EQ(root->Children[1]->Text, u"e");
  EXPECT_EQ(root->Children[0]->Parent, root.get());
}

TEST(TextReader, ReplacesReferences) {
  auto root = Load("<r a='&lt;&quot;&#65;'>&amp;&gt;&apos;&#x41;&#66;&#x1F600;&#xD800;&#0;</r>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Attributes["a"], u"<\"A");
  EXPECT_EQ(root->Text, std::u16string(u"&>'AB\U0001F600") + u'\xD800' + u'\0');
}

TEST(TextReader, KeepsCdataLiterallyWithItsLineEnds) {
  auto root = Load("<r>  <![CDATA[ <x>  &amp;\r\n\rz ]]>  </r>");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Text, u"  <x>  &amp;\r\n\rz  ");
}

TEST(TextReader, ReducesWhitespaceAndDropsLayout) {
  auto root = Load("<r>\n  <a> x \t\r\n y </a>\n  <b> \r\n </b><c><?pi?></c><d/>\n</r>");
  ASSERT_TRUE(root);
  EXPECT_EQ(Segments(*root), (TextSegments{u"", u"", u"", u"", u""}));
  EXPECT_EQ(root->Children[0]->Text, u" x y ");
  EXPECT_EQ(root->Children[1]->Text, u" ");  // whitespace alone in a leaf is one space
  EXPECT_EQ(root->Children[2]->Text, u"");
  EXPECT_EQ(root->Children[3]->Text, u"");
}

TEST(TextReader, PreservesWhitespaceInsideXmlSpacePreserve) {
  auto root = Load("<r>\n <p xml:space='preserve'>\n  <c> a  b\r\n</c> </p>\n <q> a  b </q></r>");
  ASSERT_TRUE(root);
  const Tag& p = *root->Children[0];
  EXPECT_EQ(Segments(p), (TextSegments{u"\n  ", u" "}));
  EXPECT_EQ(p.Children[0]->Text, u" a  b\r\n");  // inherited, CR LF as written
  EXPECT_EQ(root->Children[1]->Text, u" a b ");
}

struct BadDocument {
  const char* text;
  Common::MessageId message;
  uint32_t line;
  uint32_t column;
};

TEST(TextReader, ReportsWhereMalformedDocumentsFail) {
  const BadDocument cases[] = {
      {"<a>\n  <b></c>\n</a>", Msg::kXmlMismatchedEndTag, 2, 8},
      {"<a>\n  <b></bb>", Msg::kXmlMismatchedEndTag, 2, 8},  // same prefix, other length
      {"<a><b>", Msg::kXmlUnexpectedEnd, 1, 7},
      {"<a x='1' x='2'/>", Msg::kXmlDuplicateAttribute, 1, 17},
      {"<a>&bogus;</a>", Msg::kXmlBadReference, 1, 4},
      {"<a>&#x110000;</a>", Msg::kXmlBadReference, 1, 4},
      {"<a><!-- never closed</a>", Msg::kXmlUnclosedMarkup, 1, 25},
      {"<a/><b/>", Msg::kXmlTrailingContent, 1, 5},
      {"hello", Msg::kXmlNotADocument, 1, 1},
      {"", Msg::kXmlNotADocument, 1, 1},
      {"<a x=1/>", Msg::kXmlMalformedTag, 1, 6},
      {"<a x='<'/>", Msg::kXmlMalformedTag, 1, 7},
      {"<a>\xC3\xA9\xC3\xA9 <!x></a>", Msg::kXmlUnexpectedMarkup, 1, 7},
  };
  for (const auto& c : cases) {
    Common::Error error;
    ReadPosition where;
    EXPECT_FALSE(Load(c.text, error, where)) << c.text;
    EXPECT_EQ(error.Code(), Code::kXmlFormatError) << c.text;
    EXPECT_EQ(error.Message(), MessageOf(c.message)) << c.text;
    EXPECT_EQ(where.line, c.line) << c.text;
    EXPECT_EQ(where.column, c.column) << c.text;
  }
}

TEST(TextReader, RefusesDeepNestingWithoutRecursing) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "<a>";
  Common::Error error;
  ReadPosition where;
  EXPECT_FALSE(Load(text, error, where));
  EXPECT_EQ(error.Message(), MessageOf(Msg::kXmlTooDeep));
  EXPECT_EQ(where.column, 3 * kMaxDepth + 3);

  std::string deepest;
  for (size_t i = 0; i < kMaxDepth; ++i) deepest += "<a>";
  for (size_t i = 0; i < kMaxDepth; ++i) deepest += "</a>";
  EXPECT_TRUE(Load(deepest));
}

TEST(TextReader, ReadsLongTextsAndManyAttributesInOnePass) {
  // Quadratic work on any of these would not finish in the test's time.
  std::string text = "<r a='" + std::string(kMaxDocumentSize / 2, 'x') + "'>";
  for (int i = 0; i < 50000; ++i) text += "ab &amp; ";
  text += "</r>";
  auto root = Load(text);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Text.size(), 50000u * 5);  // "ab & " each

  std::string wide = "<r";
  for (int i = 0; i < 100000; ++i) wide += " a" + std::to_string(i) + "=''";
  wide += "/>";
  root = Load(wide);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Attributes.size(), 100000u);
}

TEST(TextReader, AcceptsUtf16WithByteOrderMark) {
  const std::u16string doc = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<r k=\"\u00E9\">\u20AC \U0001F600</r>";
  for (bool little : {true, false}) {
    auto root = Load(Utf16Bytes(doc, little));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->Attributes["k"], u"\u00E9");
    EXPECT_EQ(root->Text, u"\u20AC \U0001F600");
  }
  Common::Error error;
  ReadPosition where;
  EXPECT_FALSE(Load(Utf16Bytes(u"<r>\r\n</x>", true), error, where));
  EXPECT_EQ(where.line, 2u);
  EXPECT_EQ(where.column, 3u);
  EXPECT_FALSE(Load(Utf16Bytes(u"<r/>", true) + "x", error, where));
  EXPECT_EQ(error.Message(), MessageOf(Msg::kXmlOddUtf16));
}

TEST(TextReader, PositionCountsCharactersAndLineEnds) {
  EXPECT_EQ(PositionOf("ab\r\ncd\ref\ngh", 11).line, 4u);
  EXPECT_EQ(PositionOf("ab\r\ncd\ref\ngh", 11).column, 2u);
  EXPECT_EQ(PositionOf("\xEF\xBB\xBF\xC3\xA9x", 6).column, 3u);
}

}  // namespace
}  // namespace Xml
