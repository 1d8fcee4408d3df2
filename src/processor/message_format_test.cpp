#include "processor/format/message_format.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <cmath>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/common/error.h"
#include "core/common/trace.h"
#include "processor/format/error_format.h"
#include "processor/format/subformat.h"
#include "processor/runtime.h"

namespace Processor {
namespace {

const std::u16string kQ(1, kFormatQuote);

// A pattern, its arguments and the text they make.
struct Case {
  std::u16string pattern;
  std::vector<Variant> args;
  std::u16string text;
};
// A single argument and the text it makes.
using Pair = std::pair<Variant, std::u16string_view>;

class MessageFormatTest : public ::testing::Test {
 protected:
  std::u16string F(std::u16string_view pattern, std::initializer_list<Variant> args = {}) {
    return format_.Format(pattern, args);
  }
  void Check(std::initializer_list<Case> cases) {
    for (const Case& c : cases)
      EXPECT_EQ(format_.Format(c.pattern, std::span<const Variant>(c.args)), c.text) << Common::Utf16ToUtf8(c.pattern);
  }
  void Each(std::u16string_view pattern, std::initializer_list<Pair> cases) {
    for (const Pair& c : cases)
      EXPECT_EQ(F(pattern, {c.first}), c.second) << Common::Utf16ToUtf8(pattern) << " case " << &c - cases.begin();
  }
  MessageFormatImpl format_;
};

// Switches the ICU default locale for one test and back.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) : saved_(icu::Locale::getDefault()) { Set(icu::Locale(name)); }
  ~ScopedLocale() { Set(saved_); }

 private:
  static void Set(const icu::Locale& locale) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(locale, status);
  }
  icu::Locale saved_;
};

TEST_F(MessageFormatTest, PlainPlaceholdersAndLiterals) {
  Check({Case{u"{0}", {}, u"{0}"}, Case{u"a, b, {0}.", {u"x"}, u"a, b, x."}, Case{u"{1}-{0}", {u"x", u"y"}, u"y-x"},
         Case{u"{0} and {1}", {u"x"}, u"x and {1}"}, Case{u"{3,number,hex}", {1}, u"{3}"}, Case{u"{ 0 }", {u"x"}, u"x"},
         // Not ours: stays as written.
         Case{u"{lambda()#1}", {u"x"}, u"{lambda()#1}"}, Case{u"{}", {u"x"}, u"{}"},
         // Unterminated: the collected text stands.
         Case{u"open {0,choice,0<x", {1}, u"open {0,choice,0<x"}, Case{u"tail {", {1}, u"tail {"},
         // Unknown keywords write nothing.
         Case{u"[{0,nonsense}]", {1}, u"[]"}});
}

TEST_F(MessageFormatTest, QuotingMakesBracesPlain) {
  Check({Case{u"a" + kQ + u"{" + kQ + u"b", {u"x"}, u"a{b"}, Case{kQ + u"{0}" + kQ + u" {0}", {u"x"}, u"{0} x"},
         Case{u"x" + kQ + u"}" + kQ, {}, u"x}"},
         // Inside a choice a quoted "|" belongs to the text.
         Case{u"{0,choice,0<a" + kQ + u"|" + kQ + u"b|5<c}", {3}, u"a|b"}});
}

TEST_F(MessageFormatTest, NestedPatternsUseTheSameArguments) {
  Check({Case{u"Disk{1,choice,0< on {1}}.", {u"d", u"host"}, u"Disk on host."},
         Case{u"Disk{1,choice,0< on {1}}.", {u"d", u""}, u"Disk."}, Case{u"{0,choice,0< '{0}'}", {5}, u" '5'"},
         Case{u"{0,choice,0< '{0}'}", {0}, u""},
         // A value with choice syntax in it stays a value.
         Case{u"{0,choice,0<[{0}]|2#two}", {u"a|2#b"}, u"[a|2#b]"},
         // The argument number itself may come from a nested placeholder.
         Case{u"{{0}}", {u"1", u"second"}, u"second"}});
}

TEST_F(MessageFormatTest, DeepNestingStaysBounded) {
  const std::u16string open(100000, u'{');
  EXPECT_EQ(F(open, {1}), open);
  std::u16string nested = u"{0}";
  for (int i = 0; i < 40; ++i) nested = u"{0,choice,0<" + nested + u"}";
  const std::u16string text = F(nested, {7});
  EXPECT_FALSE(text.empty());
  EXPECT_LE(text.size(), nested.size());
}

TEST_F(MessageFormatTest, MultiplyingPatternsStopAtTheOutputLimit) {
  // An error whose message repeats its long argument, repeated by the pattern
  // and again inside a choice style: without a limit, gigabytes.
  std::u16string repeat;
  for (int i = 0; i < 1000; ++i) repeat += u"{0}";
  const std::u16string longText(4000, u'x');
  const Common::Error error =
      Common::MakeErrorWithArgs(Code::kInvalidArguments, repeat.c_str(), HV_SITE("Read"), "value", {longText});
  std::u16string pattern;
  for (int i = 0; i < 1000; ++i) pattern += u"{0}";
  pattern += u"{1,choice,0<" + pattern + u"}";
  const std::u16string text = F(pattern, {error, 1});
  EXPECT_GE(text.size(), kMaxPatternOutput);
  EXPECT_LT(text.size(), 4 * kMaxPatternOutput);
}

TEST_F(MessageFormatTest, ChoiceEntries) {
  // Texts count by their length; booleans as 0 and 1.
  Each(u"{0,choice,0#no files|1#one file|1<many files}",
       {Pair{0, u"no files"}, Pair{1u, u"one file"}, Pair{int64_t{2}, u"many files"}, Pair{-1, u""},
        Pair{u"abc", u"many files"}, Pair{true, u"one file"}});
  Each(u"{0,choice,10>small|10\u2264ten|10<big}", {Pair{3.5, u"small"}, Pair{10.0, u"ten"}});
  EXPECT_EQ(F(u"{0,choice,-1.5#neg|0<pos}", {-1.5}), u"neg");
  // An entry whose limit is no number never matches.
  EXPECT_EQ(F(u"{0,choice,x#bad|0<good}", {1}), u"good");
}

TEST_F(MessageFormatTest, ConcordFormsUnderRuleZero) {
  format_.SetPluralRule(0);
  const std::u16string p = u"{0,concord,0#plik|1#pliki|2#plików}";
  for (int n : {1, 21, 101, -21}) EXPECT_EQ(F(p, {n}), u"plik") << n;
  for (const Variant& n : {Variant(22), Variant(1.5), Variant(104)})
    EXPECT_EQ(F(p, {n}), u"pliki") << Common::Utf16ToUtf8(n.ToString());
  for (int n : {0, 5, 11, 12, 14, 20, 25, 111, 112}) EXPECT_EQ(F(p, {n}), u"plików") << n;
}

TEST_F(MessageFormatTest, ConcordFormsUnderRuleOne) {
  // The built-in English table holds rule 1.
  const std::u16string p = u"{0,concord,0#file|1#files}";
  Each(p, {Pair{1, u"file"}, Pair{0.0, u"files"}, Pair{2.0, u"files"}, Pair{21.0, u"files"}, Pair{1.5, u"files"}});
  format_.SetPluralRule(1);
  EXPECT_EQ(F(p, {21}), u"files");
  // Without a matching entry the last text is used.
  EXPECT_EQ(F(u"{0,concord,0#file}", {3}), u"file");
  EXPECT_EQ(F(u"{0,concord,}", {3}), u"");
}

TEST_F(MessageFormatTest, Numbers) {
  // Texts that read as numbers are numbers; others stay texts.
  Each(u"{0,number,hex}", {Pair{-1, u"FFFFFFFF"}, Pair{UINT64_MAX, u"FFFFFFFFFFFFFFFF"}, Pair{u"255", u"FF"},
                           Pair{u"0x10", u"10"}, Pair{1.5, u""}});
  Check({Case{u"0x{0,number,hex}", {255}, u"0xFF"}, Case{u"{0,number,simple}", {1234567}, u"1234567"},
         Case{u"{0,number,simple}", {int64_t{-42}}, u"-42"}, Case{u"{0,number}", {1234567}, u"1,234,567"},
         Case{u"{0}", {1234.5}, u"1,234.5"}, Case{u"{0,number,integer,000}", {7}, u"007"},
         Case{u"{0,number}", {u"disk"}, u"disk"},
         // Commas of an ICU pattern need quoting.
         Case{u"{0,number,integer," + kQ + u"#,##0.00" + kQ + u"}", {1234.5}, u"1,234.50"}});
}

TEST_F(MessageFormatTest, NumbersFollowTheLocale) {
  ScopedLocale german("de_DE");
  MessageFormatImpl format;
  EXPECT_EQ(format.Format(u"{0}", {1234567}), u"1.234.567");
  EXPECT_EQ(format.Format(u"{0}", {0.5}), u"0,5");
  EXPECT_EQ(format.Format(u"{0,size}", {uint64_t{1536}}), u"1,5 KB");
  EXPECT_EQ(format.Format(u"{0,number,hex}", {255}), u"FF");
}

TEST(SizeFormat, UnitsChangeAtTheirThresholds) {
  SizeFormatImpl size;
  using Size = std::pair<uint64_t, std::u16string_view>;
  for (const auto& [bytes, text] :
       {Size{0, u"0 bytes"}, Size{999, u"999 bytes"}, Size{1000, u"0.977 KB"}, Size{1023, u"0.999 KB"},
        Size{1024, u"1 KB"}, Size{1536, u"1.5 KB"}, Size{10 * 1024 + 512, u"10.5 KB"}, Size{999 * 1024, u"999 KB"},
        Size{999 * 1024 + 1, u"0.976 MB"}, Size{3ull << 30, u"3 GB"}, Size{999ull << 30, u"999 GB"},
        Size{(999ull << 30) + 1, u"0.976 TB"}, Size{2000ull << 40, u"2,000 TB"}, Size{UINT64_MAX, u"16,777,216 TB"}})
    EXPECT_EQ(size.Format(bytes), text) << bytes;
  // Forced units and digits.
  EXPECT_EQ(size.Format(1536, SizeFormat::kBytes), u"1,536 bytes");
  EXPECT_EQ(size.Format(1536, SizeFormat::kMB, 3), u"0.001 MB");
  EXPECT_EQ(size.Format(1536, SizeFormat::kKB, 0), u"2 KB");
  EXPECT_EQ(size.Format(1536, 9), u"1.5 KB");
  EXPECT_EQ(size.Format(1536, SizeFormat::kKB, 7), u"1.5 KB");
}

TEST(SizeFormat, ParsesNumbersWithUnits) {
  SizeFormatImpl size;
  using Parsed = std::tuple<std::u16string_view, double, size_t>;
  for (const auto& [text, value, length] :
       {Parsed{u"1.5 GB", 1.5 * (1 << 30), 6}, Parsed{u"2kb", 2048, 3}, Parsed{u"12 bytes", 12, 8},
        Parsed{u"7 apples", 7, 1}, Parsed{u"GB", 0, 0}}) {
    size_t used = 9;
    EXPECT_EQ(size.Parse(text, &used), value) << Common::Utf16ToUtf8(std::u16string(text));
    EXPECT_EQ(used, length);
  }
}

TEST_F(MessageFormatTest, SizePlaceholders) {
  Each(u"{0,size}", {Pair{uint64_t{1023}, u"0.999 KB"}, Pair{u"1048576", u"1 MB"}, Pair{-5, u"0 bytes"},
                     Pair{u"lots", u"<unknown>"}});
  EXPECT_EQ(F(u"{0,size,bytes}", {uint64_t{1536}}), u"1,536 bytes");
}

TEST_F(MessageFormatTest, TimeSpans) {
  Each(u"{0,time_span}", {Pair{3723000, u"01:02:03"}, Pair{0u, u"00:00:00"}, Pair{int64_t{100} * 3600000, u"100:00:00"},
                          Pair{3723999.9, u"01:02:03"}, Pair{-61000, u"-00:01:01"}, Pair{u"59999", u"00:00:59"},
                          Pair{true, u"<invalid time span>"}, Pair{Variant::Date(5), u"<invalid time span>"},
                          Pair{std::nan(""), u"<invalid time span>"}});
  TimeSpanFormat span;
  std::u16string out;
  span.Format(out, 3723045, true);
  EXPECT_EQ(out, u"01:02:03.045");
}

TEST_F(MessageFormatTest, DatesAndTimes) {
  const Variant date = Variant::Date(1e12);  // 2001-09-09 01:46:40 UTC
  // In this order the formatter must follow style changes between calls.
  Check({Case{u"{0,date}", {date}, u"9/9/01"}, Case{u"{0,date,medium}", {date}, u"Sep 9, 2001"},
         Case{u"{0,date,long}", {date}, u"September 9, 2001"}, Case{u"{0,time}", {date}, u"1:46\u202FAM"},
         Case{u"{0,time,medium}", {date}, u"1:46:40\u202FAM"}, Case{u"{0,date}", {date}, u"9/9/01"},
         Case{u"{0,date_time}", {date}, u"9/9/01, 1:46:40\u202FAM"}, Case{u"{0}", {date}, u"9/9/01, 1:46:40\u202FAM"},
         Case{u"{0,date}", {true}, u"<invalid date>"}});
  DateFormatICU machine(DateFormat::kDateTime, DateFormat::kMachine);
  std::u16string out;
  ASSERT_TRUE(machine.Format(1e12, out));
  EXPECT_EQ(out, u"2001-09-09 01:46:40 UNC");
}

TEST_F(MessageFormatTest, EllipsisNeverExceedsItsLimit) {
  const std::u16string sentence = u"The quick brown fox jumps over";  // 30 characters
  const std::u16string ten = F(u"{0,ellipsis,10}", {sentence});
  EXPECT_EQ(ten, u"The...");
  EXPECT_EQ(F(u"{0,ellipsis,16}", {sentence}), u"The quick...");
  for (int limit = 0; limit <= 35; ++limit) {
    const std::u16string text = F(u"{0,ellipsis," + Common::Utf8ToUtf16(std::to_string(limit)) + u"}", {sentence});
    if (limit < 4 || limit >= 30) {
      EXPECT_EQ(text, sentence) << limit;
    } else {
      EXPECT_LE(text.size(), static_cast<size_t>(limit)) << limit;
      EXPECT_EQ(text.substr(text.size() - 3), u"...") << limit;
      EXPECT_EQ(sentence.compare(0, text.size() - 3, text, 0, text.size() - 3), 0) << limit;
    }
  }
  // One long word is cut where it must be.
  EXPECT_EQ(F(u"{0,ellipsis,10}", {u"abcdefghijklmnopqrstuvwxyz"}), u"abcdefg...");
  // Never inside a surrogate pair.
  const std::u16string faces = u"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600";
  const std::u16string cut = F(u"{0,ellipsis,6}", {faces});
  EXPECT_LE(cut.size(), 6u);
  EXPECT_FALSE(cut.size() > 3 && cut[cut.size() - 4] >= 0xD800 && cut[cut.size() - 4] < 0xDC00);
}

TEST_F(MessageFormatTest, PathEllipsisKeepsTheEnds) {
  const std::u16string path = u"/home/user/a/b/c/file.txt";  // 25 characters
  Check({Case{u"{0,path_ellipsis,30}", {path}, path}, Case{u"{0,path_ellipsis,19}", {path}, u"/.../a/b/c/file.txt"},
         Case{u"{0,path_ellipsis,14}", {path}, u"/.../file.txt"}, Case{u"{0,path_ellipsis,10}", {path}, u"...ile.txt"},
         Case{u"{0,path_ellipsis,20}", {u"dir/one/two/three/name"}, u"dir/.../three/name"}});
  for (int limit = 4; limit < 25; ++limit) {
    const std::u16string text = F(u"{0,path_ellipsis," + Common::Utf8ToUtf16(std::to_string(limit)) + u"}", {path});
    EXPECT_LE(text.size(), static_cast<size_t>(limit)) << limit;
    EXPECT_NE(text.find(u"..."), std::u16string::npos) << limit;
  }
}

TEST_F(MessageFormatTest, ErrorsByStyle) {
  const Common::Error inner =
      Common::MakeErrorWithArgs(Code::kFileRead, u"Cannot read '{0}'.", HV_SITE("Read"), "path", {u"/x"});
  const Common::Error outer =
      Common::Wrap(Common::MakeError(Code::kOpenVirtualDiskFailed, u"Open failed.", HV_SITE("OpenDisk")), inner);
  Check({Case{u"{0,error,code}", {inner}, u"0x40001"}, Case{u"{0,error,message}", {inner}, u"Cannot read '/x'."},
         Case{u"{0,error,field,path}", {inner}, u"/x"}, Case{u"{0,error,field,nothing}", {inner}, u""},
         // Not an error: reported, and the value is still shown.
         Case{u"{0,error}", {u"text"}, u"text"}});
  EXPECT_EQ(F(u"{0,error,tag}", {inner}).substr(0, 2), u"0x");
  const std::u16string line = Common::Utf8ToUtf16(std::to_string(inner.Line()));
  EXPECT_EQ(F(u"{0,error}", {inner}),
            u"Cannot read '/x'.\n    path = /x\n    Read : processor/message_format_test(" + line + u")");
  const std::u16string full = F(u"{0}", {outer});
  EXPECT_EQ(full.find(u"Open failed.\n    OpenDisk : processor/message_format_test("), 0u);
  EXPECT_NE(full.find(u"\nCannot read '/x'."), std::u16string::npos);
}

class Named final : public TextSource {
 public:
  std::u16string GetText() override { return u"named object"; }
  InterfacePair QueryInterface(uint32_t id) override {
    return id == TextSource::kInterfaceId ? AnswerInterface<TextSource>(this) : InterfacePair{};
  }
};

TEST_F(MessageFormatTest, PlainValuesOfEveryTag) {
  const uint8_t bytes[] = {1};
  Each(u"{0}", {Pair{Variant::Binary(bytes), u"<binary data>"}, Pair{Variant(), u"<void>"}, Pair{true, u"true"},
                Pair{false, u"false"}, Pair{"ident", u"ident"}, Pair{Variant::Nested(Variant(1)), u"<unknown>"},
                Pair{Variant(MakeRef<Interface, Interface>()), u"<unknown interface>"},
                Pair{Variant(MakeRef<Interface, Named>()), u"named object"}});
}

TEST_F(MessageFormatTest, BufferFormatTruncatesAndReportsTheLength) {
  const Variant args[] = {Variant(u"world")};
  const std::u16string pattern = u"hello {0}";
  char16_t buffer[6];
  EXPECT_EQ(format_.Format(buffer, 6, pattern.c_str(), pattern.size(), args, 1), 11u);
  EXPECT_EQ(std::u16string(buffer), u"hello");
  char16_t big[32];
  EXPECT_EQ(format_.Format(big, 32, pattern.c_str(), pattern.size(), args, 1), 11u);
  EXPECT_EQ(std::u16string(big), u"hello world");
  EXPECT_EQ(format_.Format(nullptr, 0, pattern.c_str(), pattern.size(), args, 1), 11u);
}

TEST(BreakIterators, BoundariesByKind) {
  auto collect = [](int kind, std::u16string_view text) {
    std::vector<int32_t> out;
    auto iterator = CreateBreakIterator(kind);
    if (!iterator) return out;
    iterator->SetText(text);
    for (int32_t b = iterator->First(); b != Iterator::kDone; b = iterator->Next()) out.push_back(b);
    return out;
  };
  EXPECT_EQ(collect(BreakIterator::kWord, u"hello big world"), (std::vector<int32_t>{0, 5, 6, 9, 10, 15}));
  EXPECT_EQ(collect(BreakIterator::kLine, u"hello big world"), (std::vector<int32_t>{0, 6, 10, 15}));
  EXPECT_EQ(collect(BreakIterator::kPath, u"/a/bc/d"), (std::vector<int32_t>{0, 1, 3, 6, 7}));
  EXPECT_EQ(collect(BreakIterator::kPath, u""), (std::vector<int32_t>{0}));
  EXPECT_EQ(CreateBreakIterator(7), nullptr);
}

TEST(MessageFormatting, ErrorsAndTracesRenderThroughTheFormatter) {
  const Common::Error error =
      Common::MakeErrorWithArgs(Code::kOpenVMFailed, u"Failed to open '{0}'{1,choice,0< on {1}}.",
                                HV_SITE("GetRegisteredVM"), "VmId,host", {u"vm", u"srv"});
  EXPECT_EQ(Common::FormatErrorMessage(error), u"Failed to open 'vm' on srv.");
  EXPECT_EQ(Common::FormatPattern(u"{0} of {1}", {u"one"}), u"one of {1}");
  EXPECT_EQ(Common::FormatPattern(u"{0,choice,0<[{0}]}", {u""}), u"");
  const Common::Error posix = Common::MakePosixError(2);
  EXPECT_EQ(Common::FormatErrorMessage(posix), u"No such file or directory");
  EXPECT_EQ(FormatMessage(u"{0,number,hex}", std::vector<Variant>{Variant(4096)}), u"1000");
}

}  // namespace
}  // namespace Processor
