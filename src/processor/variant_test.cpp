#include "processor/utils/variant.h"

#include <gtest/gtest.h>

#include <tuple>

#include "core/common/error.h"
#include "processor/runtime.h"
#include "processor/singleton.h"
#include "thrown.h"

namespace Processor {
namespace {

using HvTest::Thrown;

std::u16string Arg(const Common::Error& e, const char* name) {
  const char16_t* value = e.GetWide(name);
  return value ? value : u"<none>";
}

TEST(StringEnum, DeclarationsGiveNamesAndValues) {
  const string_enum colours("Colour", {"kRed", "kGreen\t", "kBlue = 7", "kCyan", "kDark=-3", "kLight", "kAgain 7"});
  EXPECT_EQ(colours.FromString("kRed"), 0);
  EXPECT_EQ(colours.FromString("kGreen"), 1);
  EXPECT_EQ(colours.FromString("kBlue"), 7);
  EXPECT_EQ(colours.FromString("kCyan"), 8);
  EXPECT_EQ(colours.FromString("kDark"), -3);
  EXPECT_EQ(colours.FromString("kLight"), -2);
  EXPECT_FALSE(colours.FromString("kMissing"));
  // The first entry with a value wins.
  EXPECT_EQ(colours.ToString(7), "kBlue");
}

TEST(StringEnum, UnknownValueThrowsWithBothArguments) {
  const string_enum colours("Colour", {"kRed", "kGreen"});
  const Common::Error e = Thrown([&] { colours.ToString(5); });
  EXPECT_EQ(e.Code(), Code::kEnumValueToStringFailed);
  EXPECT_EQ(Arg(e, "ErrorValue"), u"5");
  EXPECT_EQ(Arg(e, "EnumTypeName"), u"Colour");
  EXPECT_STREQ(e.Function(), "ToString");
  EXPECT_STREQ(e.Source(), "processor/string_enum");
  EXPECT_EQ(Common::FormatErrorMessage(e), u"Failed to convert value '5' of enumerator 'Colour' to a string value.");
}

TEST(VariantTypes, ConstructionSetsTheTagThatNamesItself) {
  using Tag = std::tuple<Variant, Variant::Type, const char*>;
  for (const auto& [value, type, name] :
       {Tag{Variant(), Variant::TEmpty, "TEmpty"}, Tag{1.5, Variant::TDouble, "TDouble"},
        Tag{-1, Variant::TLong, "TLong"}, Tag{1u, Variant::TULong, "TULong"},
        Tag{int64_t{-1}, Variant::TLong64, "TLong64"}, Tag{uint64_t{1}, Variant::TULong64, "TULong64"},
        Tag{true, Variant::TBool, "TBool"}, Tag{u"text", Variant::TString, "TString"},
        Tag{"name", Variant::TIdentifier, "TIdentifier"}, Tag{Variant::Date(1), Variant::TDate, "TDate"},
        Tag{Variant::Nested(Variant(1)), Variant::TVariant, "TVariant"}}) {
    EXPECT_EQ(value.GetType(), type) << name;
    EXPECT_STREQ(Variant::TypeName(type), name);
  }
  EXPECT_EQ(Variant::TypeEnum().Name(), "Type");
  EXPECT_EQ(Variant::TypeEnum().Entries().size(), 14u);
}

TEST(VariantGetters, RequireTheExactTag) {
  EXPECT_THROW(Variant(7u).GetLong(), Variant::Error);
  const Common::Error e = Thrown([] { Variant(7u).GetLong(); });
  ASSERT_TRUE(e.IsFailure());
  EXPECT_EQ(e.Code(), Code::kFormatGetValueError);
  EXPECT_STREQ(e.Source(), "processor/utils/variant");
  EXPECT_EQ(Common::FormatErrorMessage(e), u"Failed to get value of type 'TLong' from value TULong('7').");
  EXPECT_TRUE(Thrown([] { Variant(u"1").GetULong64(); }).IsFailure());
  EXPECT_TRUE(Thrown([] { Variant(1.0).GetDate(); }).IsFailure());
  EXPECT_TRUE(Thrown([] { Variant("x").GetString(); }).IsFailure());
  EXPECT_EQ(Variant(7u).GetULong(), 7u);
  EXPECT_EQ(Variant::Nested(Variant(u"in")).GetVariant().GetString(), u"in");
}

TEST(VariantText, ConvertsEachTag) {
  using Text = std::pair<Variant, std::u16string_view>;
  for (const auto& [value, text] :
       {Text{u"abc", u"abc"}, Text{Variant(), u""}, Text{true, u"true"}, Text{false, u"false"},
        Text{"ident\xC3\xA4", u"ident\u00E4"}, Text{1234567, u"1,234,567"}, Text{1.5, u"1.5"},
        Text{int64_t{-9000000000}, u"-9000000000"}, Text{UINT64_MAX, u"18446744073709551615"},
        Text{Variant::Date(0.0), u""},
        Text{Variant::Date(1e12), u"9/9/01, 1:46:40\u202FAM"}})  // 2001-09-09 01:46:40 UTC
    EXPECT_EQ(value.ToString(), text) << Common::Utf16ToUtf8(std::u16string(text));
}

TEST(VariantText, NestedAndErrorValuesDoNotConvert) {
  Common::Error e = Thrown([] { Variant::Nested(Variant(1)).ToString(); });
  EXPECT_EQ(e.Code(), Code::kFormatConversionError);
  EXPECT_EQ(Common::FormatErrorMessage(e), u"Failed to convert from TVariant('1') to TString.");
  const Common::Error inner = Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read"));
  EXPECT_EQ(Thrown([&] { Variant(inner).ToString(); }).Code(), Code::kFormatConversionError);
}

TEST(VariantText, Base64PadsPartialGroups) {
  const uint8_t bytes[] = {'M', 'a', 'n', 'M', 'a'};
  const std::u16string_view expected[] = {u"", u"TQ==", u"TWE=", u"TWFu", u"TWFuTQ==", u"TWFuTWE="};
  for (size_t n = 0; n <= 5; ++n) EXPECT_EQ(Variant::Binary(std::span(bytes, n)).ToString(), expected[n]) << n;
  const uint8_t high[] = {0xFB, 0xFF};
  EXPECT_EQ(EncodeBase64(high), u"+/8=");
}

TEST(VariantNumber, TextsConvertOnlyWhenWhollyRead) {
  using Number = std::pair<Variant, double>;
  for (const auto& [text, number] :
       {Number{u"0x1F", 31}, Number{u" 42 ", 42}, Number{"17", 17},
        Number{u"18446744073709551615", 18446744073709551615.0}, Number{u"1.5 GB", 1.5 * 1024 * 1024 * 1024},
        Number{u"2 kb", 2048}, Number{u"2.25", 2.25}})
    EXPECT_EQ(text.ToDouble(), number) << number;
  for (const char16_t* bad : {u"12abc", u"", u"  ", u"-5", u"abc", u"0x", u"0xZZ", u"1.5 GBX", u"x12"}) {
    const Common::Error e = Thrown([&] { Variant(bad).ToDouble(); });
    EXPECT_EQ(e.Code(), Code::kFormatConversionError) << Common::Utf16ToUtf8(bad);
  }
  EXPECT_EQ(Common::FormatErrorMessage(Thrown([] { Variant(u"12abc").ToDouble(); })),
            u"Failed to convert from TString('12abc') to TDouble.");
}

TEST(VariantNumber, NumericTagsConvert) {
  using Number = std::pair<Variant, double>;
  for (const auto& [value, number] :
       {Number{-3, -3}, Number{4000000000u, 4e9}, Number{true, 1}, Number{Variant::Date(5), 5}})
    EXPECT_EQ(value.ToDouble(), number) << number;
  EXPECT_EQ(Thrown([] { Variant().ToDouble(); }).Code(), Code::kFormatConversionError);
  EXPECT_EQ(Thrown([] { Variant::Binary({}).ToDouble(); }).Code(), Code::kFormatConversionError);
}

class ValueObject final : public ValueSource {
 public:
  explicit ValueObject(Variant value) : value_(std::move(value)) {}
  Variant GetValue() override { return value_; }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == ValueSource::kInterfaceId) return AnswerInterface<ValueSource>(this);
    return {};
  }
  Variant value_;
};

TEST(VariantInterface, ConvertsThroughTheValueInterface) {
  AutoRef<Interface> object = MakeRef<Interface, ValueObject>(Variant(u"0x10"));
  Variant v(object);
  EXPECT_EQ(v.ToString(), u"0x10");
  EXPECT_EQ(v.ToDouble(), 16);
  // A number is a value, but not one this interface turns into text.
  AutoRef<Interface> number = MakeRef<Interface, ValueObject>(Variant(5));
  EXPECT_EQ(Thrown([&] { Variant(number).ToString(); }).Code(), Code::kFormatConversionError);
  EXPECT_EQ(Variant(number).ToDouble(), 5);
  // Without the interface nothing converts.
  AutoRef<Interface> plain = MakeRef<Interface, Interface>();
  EXPECT_EQ(Thrown([&] { Variant(plain).ToString(); }).Code(), Code::kFormatConversionError);
}

TEST(VariantInterface, ASelfReferringValueStops) {
  auto* raw = CreateObject<ValueObject>(Variant());
  AutoRef<Interface> object = AutoRef<Interface>::Adopt(raw, InterfaceMetaClass<Interface>::Instance());
  raw->value_ = Variant(object);
  EXPECT_EQ(Thrown([&] { Variant(object).ToString(); }).Code(), Code::kFormatConversionError);
  raw->value_ = Variant();  // break the cycle
}

TEST(VariantCopies, ShareOrDuplicateTheirPayload) {
  const uint8_t bytes[] = {1, 2, 3};
  Variant binary = Variant::Binary(bytes);
  Variant copy = binary;
  EXPECT_EQ(copy.GetBinary().data(), binary.GetBinary().data());
  Variant text(u"abc");
  Variant textCopy = text;
  EXPECT_NE(&textCopy.GetString(), &text.GetString());
  text = Variant(1);
  EXPECT_EQ(textCopy.GetString(), u"abc");
  Variant moved = std::move(textCopy);
  EXPECT_TRUE(textCopy.IsEmpty());
  EXPECT_EQ(moved.GetString(), u"abc");
  const Common::Error error = Common::MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read"));
  {
    Variant a(error);
    Variant b = a;
    EXPECT_EQ(b.GetError().Record(), error.Record());
    EXPECT_EQ(error.Record()->refCount.load(), 3u);
  }
  EXPECT_EQ(error.Record()->refCount.load(), 1u);
}

TEST(VariantAllocator, CachesAtMostTenStrings) {
  RefPtr<Variant::Allocator> pool = Singleton<Variant::Allocator, true>::Instance();
  std::vector<std::u16string*> taken;
  for (int i = 0; i < 20; ++i) taken.push_back(pool->TakeString(u"x"));
  for (std::u16string* s : taken) pool->ReleaseString(s);
  EXPECT_EQ(pool->CachedStrings(), Variant::Allocator::kMaxCached);
  // A cached object is reused with its new contents.
  std::u16string* again = pool->TakeString(u"new");
  EXPECT_EQ(*again, u"new");
  EXPECT_EQ(pool->CachedStrings(), Variant::Allocator::kMaxCached - 1);
  pool->ReleaseString(again);
  std::vector<std::string*> ids;
  for (int i = 0; i < 11; ++i) ids.push_back(pool->TakeIdentifier("id"));
  for (std::string* s : ids) pool->ReleaseIdentifier(s);
  EXPECT_EQ(pool->CachedIdentifiers(), Variant::Allocator::kMaxCached);
}

}  // namespace
}  // namespace Processor
