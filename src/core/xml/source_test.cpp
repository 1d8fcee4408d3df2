// Documents read from text and written back with kWriteSource.
#include <gtest/gtest.h>

#include "core/xml/text_writer.h"
#include "core/xml/xml_testutil.h"

namespace Xml {
namespace {

using Testing::Load;
using Testing::Utf16Bytes;

std::string Rewritten(const Tag& root, unsigned flags = 0) { return TextXmlString(root, kWriteSource | flags); }

// Takes what a document holds outside values: markup, layout, instructions.
const char kForeign[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone='yes'?>\r\n"
    "<!DOCTYPE preferences>\r\n"
    "<!-- before the root -->\r\n"
    "<preferences  b='2' a=\"1\" >\r\n"
    "\t<!--inside-->\r\n"
    "\t<empty />\r\n"
    "\t<pair></pair>\r\n"
    "\t<value type=\"integer\">12</value><?pi keep?>\r\n"
    "\t<text>a &amp; b&#32;&#x20;</text>\r\n"
    "\t<cdata><![CDATA[x\r\ny]]></cdata>\r\n"
    "\t<kept xml:space=\"preserve\"> 1\r\n 2 </kept>\r\n"
    "\t<blank>\r\n\t</blank>\r\n"
    "</preferences >\r\n"
    "<!-- after -->\n";

TEST(SourceForm, UnchangedDocumentsComeBackByteForByte) {
  const std::u16string wide =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<r k=\"\u00E9\">\r\n\t<v>\u20AC \U0001F600</v>\r\n</r>\r\n";
  const std::string documents[] = {kForeign, std::string("\xEF\xBB\xBF") + kForeign, Utf16Bytes(wide, true),
                                   Utf16Bytes(wide, false), "<a/>", "<a><b/></a>",
                                   // A comment's opening "<!--" may itself read as an end ("<!-->").
                                   "<a><!-->x--></a>", "<a><!--->y--><!----></a>"};
  for (const std::string& document : documents) {
    auto root = Load(document);
    ASSERT_TRUE(root);
    EXPECT_EQ(Rewritten(*root), document);
  }
  // The UTF-8 byte order mark is added when asked; UTF-16 always has its own.
  EXPECT_EQ(Rewritten(*Load(kForeign), kWriteByteOrderMark), std::string("\xEF\xBB\xBF") + kForeign);
  EXPECT_EQ(Rewritten(*Load(Utf16Bytes(wide, true)), kWriteByteOrderMark), Utf16Bytes(wide, true));
  // Without kWriteSource the standard form is written.
  EXPECT_EQ(TextXmlString(*Load("<a>\n <b/></a>"), kWriteNoDeclaration), "<a><b></b></a>\r\n");
}

TEST(SourceForm, ValuesReadAsWritten) {
  auto root = Load(kForeign);
  ASSERT_TRUE(root);
  std::vector<std::string> names;
  for (const auto& child : root->Children) names.push_back(child->Name);
  EXPECT_EQ(names, (std::vector<std::string>{"!--", "empty", "pair", "value", "text", "cdata", "kept", "blank"}));
  EXPECT_EQ(root->Children[0]->Text, u"inside");
  EXPECT_EQ(root->Children[3]->Text, u"12");
  EXPECT_EQ(root->Children[4]->Text, u"a & b  ");
  EXPECT_EQ(root->Children[5]->Text, u"x\r\ny");
  EXPECT_EQ(root->Children[6]->Text, u" 1\r\n 2 ");
  EXPECT_EQ(root->Children[7]->Text, u" ");  // whitespace alone is a value of one space
  EXPECT_EQ(root->Text, u"");                // beside children it is layout
}

TEST(SourceForm, OnlyWhatChangedIsWrittenAnew) {
  auto root = Load(kForeign);
  ASSERT_TRUE(root);
  std::string expected = kForeign;
  auto replace = [&](std::string_view from, std::string_view to) {
    const size_t at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, from.size(), to);
  };
  root->Children[3]->Text = u"256";
  replace(">12<", ">256<");
  root->Attributes["a"] = u"x y";
  root->Attributes["c"] = u"new";
  replace("a=\"1\" >", "a=\"x y\" c=\"new\" >");
  root->Children[1]->Text = u"now";  // <empty /> gets content
  replace("<empty />", "<empty >now</empty>");
  root->Children[0]->Text = u"a--b";
  replace("<!--inside-->", "<!--a-\u200B-b -->");
  EXPECT_EQ(Rewritten(*root), expected);
}

TEST(SourceForm, NewElementsFollowTheLayout) {
  const std::string document =
      "<r>\r\n"
      "  <list>\r\n"
      "    <item>1</item>\r\n"
      "  </list>\r\n"
      "  <none/>\r\n"
      "  <spaced>\r\n"
      "  </spaced>\r\n"
      "</r>\r\n";
  auto root = Load(document);
  ASSERT_TRUE(root);
  AppendChild(*root->Children[0], Testing::Element("item", u"2"));
  // Before the first child and between two: the layout read there moves on.
  InsertChild(*root->Children[0], 0, Testing::Element("item", u"0"));
  InsertChild(*root->Children[0], 2, Testing::Element("item", u"1.5"));
  AppendChild(*root->Children[1], Testing::Element("first"));
  Tag* deeper = AppendChild(*root->Children[2], Testing::Element("deeper"));
  AppendChild(*deeper, Testing::Element("leaf", u"v"))->Attributes["type"] = u"string";
  const std::string expected =
      "<r>\r\n"
      "  <list>\r\n"
      "    <item>0</item>\r\n"
      "    <item>1</item>\r\n"
      "    <item>1.5</item>\r\n"
      "    <item>2</item>\r\n"
      "  </list>\r\n"
      "  <none>\r\n"
      "    <first></first>\r\n"
      "  </none>\r\n"
      "  <spaced>\r\n"
      "    <deeper>\r\n"
      "      <leaf type=\"string\">v</leaf>\r\n"
      "    </deeper>\r\n"
      "  </spaced>\r\n"
      "</r>\r\n";
  EXPECT_EQ(Rewritten(*root), expected);

  // Removing an element keeps the layout of the lines around it.
  RemoveChild(*root, 1);
  for (int i = 0; i < 3; ++i) RemoveChild(*root->Children[0], 0);
  EXPECT_EQ(Rewritten(*root),
            "<r>\r\n"
            "  <list>\r\n"
            "    <item>2</item>\r\n"
            "  </list>\r\n"
            "  <spaced>\r\n"
            "    <deeper>\r\n"
            "      <leaf type=\"string\">v</leaf>\r\n"
            "    </deeper>\r\n"
            "  </spaced>\r\n"
            "</r>\r\n");
  // A compact document stays compact.
  auto compact = Load("<r><a>1</a></r>");
  AppendChild(*compact, Testing::Element("b", u"2"));
  EXPECT_EQ(Rewritten(*compact), "<r><a>1</a><b>2</b></r>");
}

TEST(SourceForm, DroppedSourceWritesANewDocument) {
  auto root = Load(kForeign);
  ASSERT_TRUE(root);
  DropSource(*root);
  const std::string written = Rewritten(*root, kWriteByteOrderMark);
  EXPECT_EQ(written.substr(0, 3 + kXmlDeclaration.size()), "\xEF\xBB\xBF" + std::string(kXmlDeclaration));
  EXPECT_TRUE(SameTree(*root, *Load(written)));
}

TEST(SourceForm, MarkupIsKeptWhileAValueReadsTheSame) {
  // Values written with references, CDATA, instructions or reduced spaces
  // keep their markup as long as they read the same, also after a change
  // that was taken back; attributes likewise.
  const std::string document =
      "<r a='x&amp;y'  b = \"1\t 2\">\n"
      " <v>&#x41;<![CDATA[<b>]]><?pi?>c</v>\n"
      " <p xml:space='preserve'> \n </p>\n"
      " <w> two   words </w>\n"
      "</r>";
  auto root = Load(document);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->Attributes["b"], u"1 2");
  EXPECT_EQ(root->Children[0]->Text, u"A<b>c");
  EXPECT_EQ(root->Children[1]->Text, u" \n ");
  EXPECT_EQ(root->Children[2]->Text, u" two words ");
  for (Tag* tag : {root.get(), root->Children[0].get(), root->Children[1].get(), root->Children[2].get()}) {
    const std::u16string value = tag->Text;
    tag->Text = u"changed";
    tag->Text = value;
  }
  root->Attributes["a"] = u"x&y";
  EXPECT_EQ(Rewritten(*root), document);

  root->Children[1]->Text = u" ";  // read with its line end, so no longer the same
  root->Attributes["b"] = u"1  2";
  const std::string written = Rewritten(*root);
  EXPECT_NE(written.find("<p xml:space='preserve'>&#32;</p>"), std::string::npos) << written;
  EXPECT_NE(written.find("'x&amp;y'  b=\"1 &#32;2\">"), std::string::npos) << written;
  EXPECT_NE(written.find("<v>&#x41;<![CDATA[<b>]]><?pi?>c</v>"), std::string::npos) << written;
}

TEST(SourceForm, MovedSubtreesKeepTheirMarkupAfterTheirDocumentIsGone) {
  auto target = Load("<r>\r\n  <a/>\r\n</r>");
  ASSERT_TRUE(target);
  {
    auto donor = Load("<d><m  k = 'v' >one<!--c--><n/></m></d>");
    ASSERT_TRUE(donor);
    AppendChild(*target, RemoveChild(*donor, 0));
  }
  EXPECT_EQ(Rewritten(*target), "<r>\r\n  <a/>\r\n  <m  k = 'v' >one<!--c--><n/></m>\r\n</r>");
}

TEST(SourceForm, DocumentsReadFromAnInputKeepTheirForm) {
  const std::string utf8 = std::string("\xEF\xBB\xBF") + kForeign;
  const std::string wide = Utf16Bytes(u"<r>\r\n\t<v k='\u00E9'>\u20AC</v>\r\n</r>", false);
  for (const std::string& document : {utf8, wide, std::string("<a/>")}) {
    BufferInput input(document);
    ReadPosition where;
    auto root = LoadDocument(input, where);
    ASSERT_TRUE(root);
    EXPECT_EQ(Rewritten(*root), document);
  }
}

}  // namespace
}  // namespace Xml
