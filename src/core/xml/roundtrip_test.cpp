// Property test: every tree the writers write reads back to the same tree.
#include <gtest/gtest.h>

#include <random>

#include "core/xml/bxml_writer.h"
#include "core/xml/text_writer.h"
#include "core/xml/xml_testutil.h"

namespace Xml {
namespace {

// Pieces that stress the escaping and the whitespace rule.
const std::u16string kPieces[] = {
    u" ",
    u"  ",
    u"   ",
    u"\n",
    u"\r\n",
    u"\r",
    u"\t",
    u"]]>",
    u"]]",
    u">",
    u"\"",
    u"'",
    u"<",
    u"&",
    u"&amp;",
    u"a",
    u"xyz",
    u"\u00E9",
    u"\u20AC",
    u"\U0001F600",
    std::u16string(1, u'\xD800'),
    std::u16string(1, u'\xDFFF'),
    u"\xFFFE",
    u"\xFFFF",
    u"\xFFFD",
    std::u16string(1, u'\0'),
    u"\x01",
    u"\x1F",
    u"--",
    u"\u200B",
    u"<![CDATA[",
};
const char* const kNames[] = {"a", "b", "hardware", "ide_controller", "x.y", "_n", "ns:e", "q-1", "\xC3\xA9t\xC3\xA9"};

class TreeMaker {
 public:
  explicit TreeMaker(uint32_t seed) : random_(seed) {}

  std::unique_ptr<Tag> Tree() {
    auto root = std::make_unique<Tag>(Name());
    size_t budget = 1 + Pick(40);
    Fill(*root, 0, budget);
    return root;
  }

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  std::string Name() { return kNames[Pick(std::size(kNames))]; }

  std::u16string Text() {
    std::u16string text;
    if (Pick(3) == 0) return text;
    for (size_t n = Pick(6); n > 0; --n) text += kPieces[Pick(std::size(kPieces))];
    return text;
  }

  // Depth is small; recursion here is bounded by the test.
  void Fill(Tag& tag, int depth, size_t& budget) {
    for (size_t n = Pick(4); n > 0; --n) tag.Attributes[Name()] = Text();
    if (Pick(8) == 0) tag.Attributes["xml:space"] = u"preserve";
    tag.Text = Text();
    while (depth < 6 && budget > 0 && Pick(3) != 0) {
      --budget;
      Tag* child = AppendChild(tag, std::make_unique<Tag>(Name()));
      Fill(*child, depth + 1, budget);
      child->Tail = Text();
    }
  }

  std::mt19937 random_;
};

std::string Describe(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

TEST(RoundTrip, TextAndBinaryWritersReadBackTheSameTree) {
  for (uint32_t seed = 1; seed <= 1500; ++seed) {
    auto tree = TreeMaker(seed).Tree();
    for (unsigned flags :
         {0u, unsigned(kWriteIndented), unsigned(kWriteByteOrderMark | kWriteNoDeclaration), unsigned(kWriteBinary)}) {
      const std::string bytes = TextXmlString(*tree, flags);
      Common::Error error;
      ReadPosition where;
      auto back = Testing::Load(bytes, error, where);
      ASSERT_TRUE(back) << "seed " << seed << " flags " << flags << ": " << Common::DescribeErrorChain(error) << " at "
                        << where.line << ":" << where.column << "\n"
                        << Describe(bytes);
      ASSERT_TRUE(SameTree(*tree, *back)) << "seed " << seed << " flags " << flags << "\n" << Describe(bytes);
    }
  }
}

TEST(RoundTrip, LargeDocumentsStayLinear) {
  // A wide and a deep tree at the limits, each written and read once.
  auto wide = std::make_unique<Tag>("r");
  // About 50 bytes a child when written.
  for (size_t i = 0; i < kMaxDocumentSize / 64; ++i) {
    AppendChild(*wide, std::make_unique<Tag>("c"))->Text = u"v  " + std::u16string(30, u'x');
  }
  auto deep = std::make_unique<Tag>("r");
  Tag* at = deep.get();
  for (size_t i = 1; i < kMaxDepth; ++i) at = AppendChild(*at, std::make_unique<Tag>("d"));
  for (const Tag* tree : {wide.get(), deep.get()}) {
    for (unsigned flags : {unsigned(kWriteIndented), unsigned(kWriteBinary)}) {
      auto back = Testing::Load(TextXmlString(*tree, flags));
      ASSERT_TRUE(back);
      EXPECT_TRUE(SameTree(*tree, *back));
    }
  }
}

}  // namespace
}  // namespace Xml
