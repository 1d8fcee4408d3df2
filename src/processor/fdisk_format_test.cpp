#include "processor/format/fdisk_format.h"

#include <gtest/gtest.h>

namespace Fdisk {
namespace {

const std::u16string kQ(1, Processor::kFormatQuote);

// A pattern, its one argument and the text they make.
struct Case {
  std::u16string pattern;
  std::u16string_view argument;
  std::u16string text;
};

void Check(std::initializer_list<Case> cases) {
  MessageFormat format;
  for (const Case& c : cases)
    EXPECT_EQ(format.Format(c.pattern, {c.argument}), c.text) << "case " << &c - cases.begin();
}

TEST(FdiskFormat, PlaceholdersAndMissingArguments) {
  EXPECT_EQ(MessageFormat().Format(u"{0} of {1}", std::vector<std::u16string>{u"a", u"b"}), u"a of b");
  Check({Case{u"{0,simple} {2}", u"a", u"a {2}"}, Case{u"{0,unknown}!", u"a", u"!"},
         Case{u"keep " + kQ + u"{0}" + kQ, u"a", u"keep {0}"}, Case{u"open {0", u"a", u"open {0"}});
}

TEST(FdiskFormat, ChoiceReadsNumbersAndHexadecimal) {
  const std::u16string p = u"{0,choice,0#no blocks|1#one block|1<{0} blocks}";
  Check({Case{p, u"0", u"no blocks"}, Case{p, u"1", u"one block"}, Case{p, u"10H", u"10H blocks"},
         Case{u"{0,choice,0>negative|0#zero}", u"-3", u"negative"},
         Case{u"{0,choice,0<a" + kQ + u"|" + kQ + u"b}", u"2", u"a|b"},
         // A text that is no number counts by its length.
         Case{u"{0,choice,0#empty|0<set}", u"", u"empty"}, Case{u"{0,choice,0#empty|0<set}", u"abc", u"set"}});
}

TEST(FdiskFormat, BytesizeAndCurrency) {
  Check({Case{u"{0,bytesize}", u"0", u"0 Bytes"}, Case{u"{0,bytesize}", u"1023", u"1023 Bytes"},
         Case{u"{0,bytesize}", u"1024", u"1 KB"}, Case{u"{0,bytesize,2}", u"1536", u"1.50 KB"},
         Case{u"{0,bytesize,1}", u"400H", u"1.0 KB"}, Case{u"{0,bytesize,3}", u"1048575", u"1023.999 KB"},
         Case{u"{0,bytesize,1}", u"5368709120", u"5.0 GB"},
         // TB is the last unit, however large the value.
         Case{u"{0,bytesize}", u"18446744073709551615", u"16777216 TB"},
         Case{u"{0,bytesize,9}", u"1536", u"1.500000 KB"}, Case{u"{0,bytesize}", u"many", u"many"},
         Case{u"{0,bytesize}", u"-5", u"-5"}});
  Check({Case{u"{0,currency}", u"0", u"0"}, Case{u"{0,currency}", u"999", u"999"},
         Case{u"{0,currency}", u"1000", u"1,000"}, Case{u"{0,currency}", u"-1234567.25", u"-1,234,567.25"},
         Case{u"{0,currency}", u"123456", u"123,456"}, Case{u"{0,currency}", u"12a", u"12a"}});
}

TEST(FdiskFormat, NumberReader) {
  EXPECT_EQ(ReadNumber(u" 42 ")->magnitude, 42u);
  EXPECT_EQ(ReadNumber(u"FFh")->magnitude, 255u);
  EXPECT_TRUE(ReadNumber(u"-7")->negative);
  EXPECT_FALSE(ReadNumber(u"FF"));
  EXPECT_FALSE(ReadNumber(u"H"));
  EXPECT_FALSE(ReadNumber(u"18446744073709551616"));
}

}  // namespace
}  // namespace Fdisk
