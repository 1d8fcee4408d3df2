#include "core/xml/tag.h"

#include <gtest/gtest.h>

#include "core/xml/xml_testutil.h"

namespace Xml {
namespace {

using Testing::Element;

// r: "a" <x/> "b" <y/> "c"
std::unique_ptr<Tag> TwoChildren(std::u16string t0, std::u16string t1, std::u16string t2) {
  auto root = Element("r", std::move(t0));
  AppendChild(*root, Element("x"));
  AppendChild(*root, Element("y"));
  root->Children[0]->Tail = std::move(t1);
  root->Children[1]->Tail = std::move(t2);
  return root;
}

TEST(Tag, InsertKeepsOneMoreTextThanChildren) {
  auto root = TwoChildren(u"a", u"b", u"c");
  Tag* z = InsertChild(*root, 1, Element("z"));
  EXPECT_EQ(z->Parent, root.get());
  EXPECT_EQ(root->Children[1].get(), z);
  EXPECT_EQ(Segments(*root), (TextSegments{u"a", u"b", u"", u"c"}));
  EXPECT_EQ(IndexInParent(*z), 1u);
  InsertChild(*root, 99, Element("end"));
  EXPECT_EQ(root->Children.back()->Name, "end");
  EXPECT_EQ(Segments(*root), (TextSegments{u"a", u"b", u"", u"c", u""}));
}

TEST(Tag, RemoveJoinsTheTextAround) {
  auto root = TwoChildren(u"a ", u" b ", u"c");
  auto x = RemoveChild(*root, 0);
  EXPECT_EQ(x->Name, "x");
  EXPECT_EQ(x->Parent, nullptr);
  EXPECT_EQ(Segments(*root), (TextSegments{u"a b ", u"c"}));  // one of two spaces goes

  root = TwoChildren(u"", u" b", u"c");
  RemoveChild(*root, 0);
  EXPECT_EQ(root->Text, u"b");  // first child: the leading space goes

  root = TwoChildren(u"a", u" b", u"c");
  RemoveChild(*root, 1);
  EXPECT_EQ(Segments(*root), (TextSegments{u"a", u" bc"}));
  EXPECT_EQ(root->Children.size(), 1u);
  // The last child gone, appending goes after the one before it.
  AppendChild(*root, Element("z"))->Tail = u"d";
  EXPECT_EQ(Segments(*root), (TextSegments{u"a", u" bc", u"d"}));
  EXPECT_EQ(root->Children.back(), root->Children[1].get());
  EXPECT_EQ(RemoveChild(*root, 2), nullptr);
}

TEST(Tag, DestroysVeryDeepTreesWithoutRecursing) {
  auto root = Element("r");
  Tag* at = root.get();
  for (int i = 0; i < 500000; ++i) at = AppendChild(*at, Element("d"));
  // Siblings are linked too: long lists, each child with children of its own.
  for (int i = 0; i < 200000; ++i) AppendChild(*AppendChild(*root, Element("s")), Element("t"));
  auto copy = Element("r");
  EXPECT_FALSE(SameTree(*root, *copy));
  root.reset();
}

}  // namespace
}  // namespace Xml
