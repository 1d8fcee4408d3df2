#include "core/common/utf.h"

#include <gtest/gtest.h>

namespace {

using Common::EncodedSurrogate;
using Common::LoneSurrogate;

std::string ToUtf8(std::u16string_view text, LoneSurrogate lone) {
  std::string out;
  Common::AppendUtf8(text, out, lone);
  return out;
}

std::u16string ToUtf16(std::string_view text, EncodedSurrogate surrogates, bool* wellFormed = nullptr) {
  std::u16string out;
  const bool ok = Common::AppendUtf16(text, out, surrogates);
  if (wellFormed) *wellFormed = ok;
  return out;
}

TEST(Utf, EdgesOfTheCodeSpaceRoundTrip) {
  const std::u16string text = u"\u007F\u0080\u07FF\u0800\uD7FF\uE000\uFFFF\U00010000\U0010FFFF";
  const std::string utf8 = Common::Utf16ToUtf8(text);
  EXPECT_EQ(utf8,
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  bool clean = false;
  EXPECT_EQ(Common::Utf8ToUtf16(utf8, &clean), text);
  EXPECT_TRUE(clean);
}

TEST(Utf, LoneSurrogatesFollowTheOption) {
  // A low half first, a high half last, and a high half before a plain letter.
  const std::u16string odd = {0xDC00, u'a', 0xD800, u'b', 0xDBFF};
  EXPECT_EQ(ToUtf8(odd, LoneSurrogate::kReplace),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(ToUtf8(odd, LoneSurrogate::kQuestionMark), "?a?b?");
  const std::string kept = ToUtf8(odd, LoneSurrogate::kKeep);
  EXPECT_EQ(kept,
            "\xED\xB0\x80"
            "a\xED\xA0\x80"
            "b\xED\xAF\xBF");
  EXPECT_EQ(ToUtf16(kept, EncodedSurrogate::kKeep), odd);

  // A pair is one character whatever the option.
  for (auto lone : {LoneSurrogate::kReplace, LoneSurrogate::kQuestionMark, LoneSurrogate::kKeep})
    EXPECT_EQ(ToUtf8(u"\U0010FFFF", lone), "\xF4\x8F\xBF\xBF");
}

TEST(Utf, EncodedSurrogatesAreMalformedUnlessKept) {
  bool wellFormed = true;
  EXPECT_EQ(ToUtf16("\xED\xA0\x80x", EncodedSurrogate::kMalformed, &wellFormed), u"\uFFFDx");
  EXPECT_FALSE(wellFormed);
  // Two kept halves in a row make the character they pair to.
  EXPECT_EQ(ToUtf16("\xED\xA0\x80\xED\xB0\x80", EncodedSurrogate::kKeep, &wellFormed), u"\U00010000");
  EXPECT_TRUE(wellFormed);
  // Cut short, a surrogate form is malformed in either mode.
  EXPECT_EQ(ToUtf16("\xED\xA0", EncodedSurrogate::kKeep, &wellFormed), u"\uFFFD");
  EXPECT_FALSE(wellFormed);
}

TEST(Utf, EachMalformedSequenceBecomesOneReplacement) {
  struct Case {
    const char* bytes;
    std::u16string_view expected;
  };
  const Case cases[] = {
      {"\xC0\xAF|", u"\uFFFD|"},                                    // over-long '/'
      {"\xE0\x80\x80|", u"\uFFFD|"},                                // over-long NUL
      {"\xF4\x90\x80\x80|", u"\uFFFD|"},                            // above U+10FFFF
      {"\xF7\xBF\xBF\xBF|", u"\uFFFD|"},                            // lead byte beyond the code space
      {"\xE2\x82|", u"\uFFFD|"},                                    // cut short by a plain character
      {"\xF0\x9F\x98", u"\uFFFD"},                                  // cut short by the end
      {"\x80\xBF|", u"\uFFFD\uFFFD|"},                              // stray continuation bytes
      {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // five-byte form
      {"\xFF\xC3\xA9", u"\uFFFD\u00E9"},                            // a good character after a bad byte
  };
  for (const Case& c : cases) {
    for (auto surrogates : {EncodedSurrogate::kMalformed, EncodedSurrogate::kKeep}) {
      bool wellFormed = true;
      EXPECT_EQ(ToUtf16(c.bytes, surrogates, &wellFormed), c.expected) << c.bytes;
      EXPECT_FALSE(wellFormed) << c.bytes;
    }
  }
}

TEST(Utf, AppendsAfterWhatIsThere) {
  std::u16string wide = u"ab";
  EXPECT_TRUE(Common::AppendUtf16("\xC3\xA9", wide));
  EXPECT_EQ(wide, u"ab\u00E9");
  std::string narrow = "ab";
  Common::AppendUtf8(u"\u00E9", narrow);
  EXPECT_EQ(narrow, "ab\xC3\xA9");
}

}  // namespace
