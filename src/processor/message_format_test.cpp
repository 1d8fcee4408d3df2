#include "processor/format/message_format.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <cmath>
#include <string>

#include "core/common/error.h"
#include "core/common/trace.h"
#include "processor/format/error_format.h"
#include "processor/format/subformat.h"
#include "processor/runtime.h"

namespace Processor {
namespace {

const std::u16string kQ(1, kFormatQuote);

class MessageFormatTest : public ::testing::Test {
 protected:
  std::u16string F(std::u16string_view pattern, std::initializer_list<Variant> args = {}) {
    return format_.Format(pattern, args);
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
  EXPECT_EQ(F(u"{0}"), u"{0}");
  EXPECT_EQ(F(u"a, b, {0}.", {u"x"}), u"a, b, x.");
  EXPECT_EQ(F(u"{1}-{0}", {u"x", u"y"}), u"y-x");
  EXPECT_EQ(F(u"{0} and {1}", {u"x"}), u"x and {1}");
  EXPECT_EQ(F(u"{3,number,hex}", {1}), u"{3}");
  EXPECT_EQ(F(u"{ 0 }", {u"x"}), u"x");
  // Not ours: stays as written.
  EXPECT_EQ(F(u"{lambda()#1}", {u"x"}), u"{lambda()#1}");
  EXPECT_EQ(F(u"{}", {u"x"}), u"{}");
  // Unterminated: the collected text stands.
  EXPECT_EQ(F(u"open {0,choice,0<x", {1}), u"open {0,choice,0<x");
  EXPECT_EQ(F(u"tail {", {1}), u"tail {");
  // Unknown keywords write nothing.
  EXPECT_EQ(F(u"[{0,nonsense}]", {1}), u"[]");
}

TEST_F(MessageFormatTest, QuotingMakesBracesPlain) {
  EXPECT_EQ(F(u"a" + kQ + u"{" + kQ + u"b", {u"x"}), u"a{b");
  EXPECT_EQ(F(kQ + u"{0}" + kQ + u" {0}", {u"x"}), u"{0} x");
  EXPECT_EQ(F(u"x" + kQ + u"}" + kQ, {}), u"x}");
  // Inside a choice a quoted "|" belongs to the text.
  EXPECT_EQ(F(u"{0,choice,0<a" + kQ + u"|" + kQ + u"b|5<c}", {3}), u"a|b");
}

TEST_F(MessageFormatTest, NestedPatternsUseTheSameArguments) {
  const std::u16string pattern = u"Disk{1,choice,0< on {1}}.";
  EXPECT_EQ(F(pattern, {u"d", u"host"}), u"Disk on host.");
  EXPECT_EQ(F(pattern, {u"d", u""}), u"Disk.");
  EXPECT_EQ(F(u"{0,choice,0< '{0}'}", {5}), u" '5'");
  EXPECT_EQ(F(u"{0,choice,0< '{0}'}", {0}), u"");
  // A value with choice syntax in it stays a value.
  EXPECT_EQ(F(u"{0,choice,0<[{0}]|2#two}", {u"a|2#b"}), u"[a|2#b]");
  // The argument number itself may come from a nested placeholder.
  EXPECT_EQ(F(u"{{0}}", {u"1", u"second"}), u"second");
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
  EXPECT_EQ(F(u"{0,choice,0< x}", {0}), u"");
  EXPECT_EQ(F(u"{0,choice,0< x}", {5}), u" x");
  const std::u16string files = u"{0,choice,0#no files|1#one file|1<many files}";
  EXPECT_EQ(F(files, {0}), u"no files");
  EXPECT_EQ(F(files, {1u}), u"one file");
  EXPECT_EQ(F(files, {int64_t{2}}), u"many files");
  EXPECT_EQ(F(files, {-1}), u"");
  EXPECT_EQ(F(u"{0,choice,10>small|10\u2264ten|10<big}", {3.5}), u"small");
  EXPECT_EQ(F(u"{0,choice,10>small|10\u2264ten|10<big}", {10.0}), u"ten");
  EXPECT_EQ(F(u"{0,choice,-1.5#neg|0<pos}", {-1.5}), u"neg");
  // Texts count by their length; booleans as 0 and 1.
  EXPECT_EQ(F(files, {u"abc"}), u"many files");
  EXPECT_EQ(F(files, {true}), u"one file");
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
  EXPECT_EQ(F(p, {1}), u"file");
  for (double n : {0.0, 2.0, 21.0, 1.5}) EXPECT_EQ(F(p, {n}), u"files") << n;
  format_.SetPluralRule(1);
  EXPECT_EQ(F(p, {21}), u"files");
  // Without a matching entry the last text is used.
  EXPECT_EQ(F(u"{0,concord,0#file}", {3}), u"file");
  EXPECT_EQ(F(u"{0,concord,}", {3}), u"");
}

TEST_F(MessageFormatTest, Numbers) {
  EXPECT_EQ(F(u"0x{0,number,hex}", {255}), u"0xFF");
  EXPECT_EQ(F(u"{0,number,hex}", {-1}), u"FFFFFFFF");
  EXPECT_EQ(F(u"{0,number,hex}", {UINT64_MAX}), u"FFFFFFFFFFFFFFFF");
  EXPECT_EQ(F(u"{0,number,simple}", {1234567}), u"1234567");
  EXPECT_EQ(F(u"{0,number,simple}", {int64_t{-42}}), u"-42");
  EXPECT_EQ(F(u"{0,number}", {1234567}), u"1,234,567");
  EXPECT_EQ(F(u"{0}", {1234.5}), u"1,234.5");
  EXPECT_EQ(F(u"{0,number,integer,000}", {7}), u"007");
  // Commas of an ICU pattern need quoting.
  EXPECT_EQ(F(u"{0,number,integer," + kQ + u"#,##0.00" + kQ + u"}", {1234.5}), u"1,234.50");
  // Texts that read as numbers are numbers; others stay texts.
  EXPECT_EQ(F(u"{0,number,hex}", {u"255"}), u"FF");
  EXPECT_EQ(F(u"{0,number,hex}", {u"0x10"}), u"10");
  EXPECT_EQ(F(u"{0,number}", {u"disk"}), u"disk");
  EXPECT_EQ(F(u"{0,number,hex}", {1.5}), u"");
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
  EXPECT_EQ(size.Format(0), u"0 bytes");
  EXPECT_EQ(size.Format(999), u"999 bytes");
  EXPECT_EQ(size.Format(1000), u"0.977 KB");
  EXPECT_EQ(size.Format(1023), u"0.999 KB");
  EXPECT_EQ(size.Format(1024), u"1 KB");
  EXPECT_EQ(size.Format(1536), u"1.5 KB");
  EXPECT_EQ(size.Format(10 * 1024 + 512), u"10.5 KB");
  EXPECT_EQ(size.Format(999 * 1024), u"999 KB");
  EXPECT_EQ(size.Format(999 * 1024 + 1), u"0.976 MB");
  EXPECT_EQ(size.Format(3ull << 30), u"3 GB");
  EXPECT_EQ(size.Format(999ull << 30), u"999 GB");
  EXPECT_EQ(size.Format((999ull << 30) + 1), u"0.976 TB");
  EXPECT_EQ(size.Format(2000ull << 40), u"2,000 TB");
  EXPECT_EQ(size.Format(UINT64_MAX), u"16,777,216 TB");
  // Forced units and digits.
  EXPECT_EQ(size.Format(1536, SizeFormat::kBytes), u"1,536 bytes");
  EXPECT_EQ(size.Format(1536, SizeFormat::kMB, 3), u"0.001 MB");
  EXPECT_EQ(size.Format(1536, SizeFormat::kKB, 0), u"2 KB");
  EXPECT_EQ(size.Format(1536, 9), u"1.5 KB");
  EXPECT_EQ(size.Format(1536, SizeFormat::kKB, 7), u"1.5 KB");
}

TEST(SizeFormat, ParsesNumbersWithUnits) {
  SizeFormatImpl size;
  size_t used = 0;
  EXPECT_EQ(size.Parse(u"1.5 GB", &used), 1.5 * (1 << 30));
  EXPECT_EQ(used, 6u);
  EXPECT_EQ(size.Parse(u"2kb", &used), 2048);
  EXPECT_EQ(used, 3u);
  EXPECT_EQ(size.Parse(u"12 bytes", &used), 12);
  EXPECT_EQ(used, 8u);
  EXPECT_EQ(size.Parse(u"7 apples", &used), 7);
  EXPECT_EQ(used, 1u);
  size.Parse(u"GB", &used);
  EXPECT_EQ(used, 0u);
}

TEST_F(MessageFormatTest, SizePlaceholders) {
  EXPECT_EQ(F(u"{0,size}", {uint64_t{1023}}), u"0.999 KB");
  EXPECT_EQ(F(u"{0,size,bytes}", {uint64_t{1536}}), u"1,536 bytes");
  EXPECT_EQ(F(u"{0,size}", {u"1048576"}), u"1 MB");
  EXPECT_EQ(F(u"{0,size}", {-5}), u"0 bytes");
  EXPECT_EQ(F(u"{0,size}", {u"lots"}), u"<unknown>");
}

TEST_F(MessageFormatTest, TimeSpans) {
  EXPECT_EQ(F(u"{0,time_span}", {3723000}), u"01:02:03");
  EXPECT_EQ(F(u"{0,time_span}", {0u}), u"00:00:00");
  EXPECT_EQ(F(u"{0,time_span}", {int64_t{100} * 3600000}), u"100:00:00");
  EXPECT_EQ(F(u"{0,time_span}", {3723999.9}), u"01:02:03");
  EXPECT_EQ(F(u"{0,time_span}", {-61000}), u"-00:01:01");
  EXPECT_EQ(F(u"{0,time_span}", {u"59999"}), u"00:00:59");
  EXPECT_EQ(F(u"{0,time_span}", {true}), u"<invalid time span>");
  EXPECT_EQ(F(u"{0,time_span}", {Variant::Date(5)}), u"<invalid time span>");
  EXPECT_EQ(F(u"{0,time_span}", {std::nan("")}), u"<invalid time span>");
  TimeSpanFormat span;
  std::u16string out;
  span.Format(out, 3723045, true);
  EXPECT_EQ(out, u"01:02:03.045");
}

TEST_F(MessageFormatTest, DatesAndTimes) {
  const Variant date = Variant::Date(1e12);  // 2001-09-09 01:46:40 UTC
  EXPECT_EQ(F(u"{0,date}", {date}), u"9/9/01");
  EXPECT_EQ(F(u"{0,date,medium}", {date}), u"Sep 9, 2001");
  EXPECT_EQ(F(u"{0,date,long}", {date}), u"September 9, 2001");
  EXPECT_EQ(F(u"{0,time}", {date}), u"1:46\u202FAM");
  EXPECT_EQ(F(u"{0,time,medium}", {date}), u"1:46:40\u202FAM");
  // The formatter follows style changes between calls.
  EXPECT_EQ(F(u"{0,date}", {date}), u"9/9/01");
  EXPECT_EQ(F(u"{0,date_time}", {date}), u"9/9/01, 1:46:40\u202FAM");
  EXPECT_EQ(F(u"{0}", {date}), u"9/9/01, 1:46:40\u202FAM");
  EXPECT_EQ(F(u"{0,date}", {true}), u"<invalid date>");
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
  EXPECT_EQ(F(u"{0,path_ellipsis,30}", {path}), path);
  EXPECT_EQ(F(u"{0,path_ellipsis,19}", {path}), u"/.../a/b/c/file.txt");
  EXPECT_EQ(F(u"{0,path_ellipsis,14}", {path}), u"/.../file.txt");
  EXPECT_EQ(F(u"{0,path_ellipsis,10}", {path}), u"...ile.txt");
  EXPECT_EQ(F(u"{0,path_ellipsis,20}", {u"dir/one/two/three/name"}), u"dir/.../three/name");
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
  EXPECT_EQ(F(u"{0,error,code}", {inner}), u"0x40001");
  EXPECT_EQ(F(u"{0,error,message}", {inner}), u"Cannot read '/x'.");
  EXPECT_EQ(F(u"{0,error,field,path}", {inner}), u"/x");
  EXPECT_EQ(F(u"{0,error,field,nothing}", {inner}), u"");
  EXPECT_EQ(F(u"{0,error,tag}", {inner}).substr(0, 2), u"0x");
  const std::u16string line = Common::Utf8ToUtf16(std::to_string(inner.Line()));
  EXPECT_EQ(F(u"{0,error}", {inner}),
            u"Cannot read '/x'.\n    path = /x\n    Read : processor/message_format_test(" + line + u")");
  const std::u16string full = F(u"{0}", {outer});
  EXPECT_EQ(full.find(u"Open failed.\n    OpenDisk : processor/message_format_test("), 0u);
  EXPECT_NE(full.find(u"\nCannot read '/x'."), std::u16string::npos);
  // Not an error: reported, and the value is still shown.
  EXPECT_EQ(F(u"{0,error}", {u"text"}), u"text");
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
  EXPECT_EQ(F(u"{0}", {Variant::Binary(bytes)}), u"<binary data>");
  EXPECT_EQ(F(u"{0}", {Variant()}), u"<void>");
  EXPECT_EQ(F(u"{0}|{1}", {true, false}), u"true|false");
  EXPECT_EQ(F(u"{0}", {"ident"}), u"ident");
  EXPECT_EQ(F(u"{0}", {Variant::Nested(Variant(1))}), u"<unknown>");
  EXPECT_EQ(F(u"{0}", {Variant(MakeRef<Interface, Interface>())}), u"<unknown interface>");
  EXPECT_EQ(F(u"{0}", {Variant(MakeRef<Interface, Named>())}), u"named object");
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
