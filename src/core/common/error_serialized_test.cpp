#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/common/error.h"

namespace {

using Common::Error;

// Builds serialized records field by field.
struct Writer {
  std::string bytes = std::string(1, '\x01');
  Writer& Le(uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
    return *this;
  }
  Writer& Code(uint32_t code) { return Le(code, 4); }
  Writer& Site(uint64_t site) { return Le(site, 8); }
  Writer& Text(const std::string& text) {
    bytes += text;
    return Le(0, 1);
  }
  // An argument: its name, a type letter and the value.
  Writer& Arg(const std::string& name, char type) { return Text(name).Le(static_cast<uint8_t>(type), 1); }
  Writer& Number(const std::string& name, uint64_t value) { return Arg(name, 'N').Site(value); }
  Writer& Narrow(const std::string& name, const std::string& value) { return Arg(name, 'A').Text(value); }
  Writer& Wide(const std::string& name, const std::string& utf8) { return Arg(name, 'W').Text(utf8); }
  Writer& EndArgs() { return Text(""); }
};

std::string TwoRecords() {
  Writer w;
  w.Code(Code::kFileRead)
      .Site(0x1234)
      .Text("Lesefehler \xC3\xA4")
      .Narrow("$file", "zip/reader")
      .Narrow("$func", "Read")
      .Number("$line", 77)
      .Wide("fileName", "de/hvplug.msg")
      .Number("offset", 4096)
      .EndArgs();
  w.Code(Code::kPosix).Site(7).Text("No such file").Number("code", 2).EndArgs();
  w.Code(0);
  return w.bytes;
}

TEST(SerializedErrorTest, ReadsChainWithArgumentsAndSite) {
  const std::string bytes = TwoRecords();
  const Error e = Common::ErrorFromSerialized(bytes.data(), bytes.size());
  ASSERT_TRUE(e.IsFailure());
  EXPECT_EQ(e.Code(), Code::kFileRead);
  EXPECT_EQ(e.SiteValue(), 0x1234u);
  EXPECT_EQ(e.Message(), u"Lesefehler \u00E4");
  EXPECT_STREQ(e.Source(), "zip/reader");
  EXPECT_STREQ(e.Function(), "Read");
  EXPECT_EQ(e.Line(), 77u);
  EXPECT_EQ(std::u16string(e.GetWide("fileName")), u"de/hvplug.msg");
  EXPECT_EQ(e.GetNumber("offset"), 4096u);
  EXPECT_EQ(e.GetNarrow("fileName"), nullptr);  // type letter must match the lookup
  EXPECT_EQ(e.GetWide("$file"), nullptr);       // consumed, not an argument
  EXPECT_STREQ(e.ArgumentNames(), "fileName,offset,$module");
  EXPECT_STREQ(e.GetNarrow("$module"), "hvplug_glxa64_42582");
  const Error cause = e.Cause();
  EXPECT_EQ(cause.Code(), Code::kPosix);
  EXPECT_EQ(cause.GetNumber("code"), 2u);
  EXPECT_TRUE(cause.Cause().IsSuccess());
  // Interned: the same text gives the same pointer.
  EXPECT_EQ(e.Source(), Common::InternText("zip/reader"));
}

TEST(SerializedErrorTest, VersionAndMinimumSize) {
  std::string bytes = TwoRecords();
  bytes[0] = 2;
  EXPECT_TRUE(Common::ErrorFromSerialized(bytes.data(), bytes.size()).IsSuccess());
  EXPECT_TRUE(Common::ErrorFromSerialized("\x01\x01\0\0\0", 5).IsSuccess());
  EXPECT_TRUE(Common::ErrorFromSerialized(nullptr, 100).IsSuccess());
}

TEST(SerializedErrorTest, BadRecordEndsTheParseKeepingEarlierOnes) {
  Writer w;
  w.Code(Code::kFileRead).Site(1).Text("first").EndArgs();
  w.Code(Code::kEndOfFile).Site(2).Text("second").Narrow("$line", "12").EndArgs();  // "$line" must be a number
  w.Code(Code::kFileWrite).Site(3).Text("third").EndArgs();
  const Error e = Common::ErrorFromSerialized(w.bytes.data(), w.bytes.size());
  EXPECT_EQ(e.Code(), Code::kFileRead);
  EXPECT_TRUE(e.Cause().IsSuccess());

  Writer badType;
  badType.Code(Code::kFileRead).Site(1).Text("first").EndArgs();
  badType.Code(Code::kEndOfFile).Site(2).Text("second").Arg("x", 'Q');
  EXPECT_TRUE(Common::ErrorFromSerialized(badType.bytes.data(), badType.bytes.size()).Cause().IsSuccess());

  Writer badUtf8;
  badUtf8.Code(Code::kFileRead).Site(1).Text("bad \xC0\xAF").EndArgs();
  EXPECT_TRUE(Common::ErrorFromSerialized(badUtf8.bytes.data(), badUtf8.bytes.size()).IsSuccess());
}

TEST(SerializedErrorTest, CutAtEveryPositionNeverReadsPastTheEnd) {
  const std::string bytes = TwoRecords();
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    // A separate allocation of exactly cut bytes, so that ASan sees any overread.
    std::unique_ptr<char[]> copy(new char[cut ? cut : 1]);
    std::memcpy(copy.get(), bytes.data(), cut);
    const Error e = Common::ErrorFromSerialized(copy.get(), cut);
    size_t records = 0;
    for (Error r = e; r.IsFailure(); r = r.Cause()) {
      ++records;
      (void)r.Message();
      (void)r.GetWide("fileName");
      (void)r.GetNumber("code");
    }
    // The first record is complete only once its argument list has ended.
    const size_t firstEnd = bytes.find(std::string("offset\0N", 8)) + 8 + 8 + 1;
    if (cut < firstEnd)
      EXPECT_EQ(records, 0u) << cut;
    else if (cut < bytes.size() - 4)
      EXPECT_EQ(records, 1u) << cut;
    else
      EXPECT_EQ(records, 2u) << cut;
  }
}

}  // namespace
