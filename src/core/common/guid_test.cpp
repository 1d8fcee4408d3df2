#include "core/common/guid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

#include "core/common/error.h"

namespace Common {
namespace {

const Guid kSample{0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xA7, 0xB8}};

TEST(Guid, TextFormIsUpperCaseWithoutBraces) {
  EXPECT_EQ(GuidToText(kSample), "12345678-9ABC-DEF0-0102-03040506A7B8");
  EXPECT_EQ(GuidToWideText(kSample), u"12345678-9ABC-DEF0-0102-03040506A7B8");
  EXPECT_EQ(GuidToText(Guid{}), "00000000-0000-0000-0000-000000000000");
}

TEST(Guid, WindowsLayoutIsLittleEndianThenBytes) {
  uint8_t bytes[16];
  kSample.Store(bytes);
  const uint8_t expected[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xA7, 0xB8};
  EXPECT_EQ(0, std::memcmp(bytes, expected, 16));
  EXPECT_EQ(Guid::Load(expected), kSample);
}

TEST(Guid, ParsingAcceptsLowerCaseAndRejectsOtherForms) {
  EXPECT_EQ(ParseGuid("12345678-9abc-def0-0102-03040506a7b8"), kSample);
  EXPECT_EQ(ParseGuid(u"12345678-9ABC-DEF0-0102-03040506A7B8"), kSample);
  for (const char* bad :
       {"{12345678-9ABC-DEF0-0102-03040506A7B8}", "12345678-9ABC-DEF0-0102-03040506A7", "12345678-9ABC-DEF0-0102",
        "12345678 9ABC DEF0 0102 03040506A7B8", "", "nonsense", "G2345678-9ABC-DEF0-0102-03040506A7B8"})
    EXPECT_FALSE(ParseGuid(bad)) << bad;
  EXPECT_FALSE(ParseGuid(static_cast<const char*>(nullptr)));
  EXPECT_FALSE(ParseGuid(u"12345678-9ABC-DEF0-0102-03040506A7B\u00C8"));
}

TEST(Guid, GeneratedGuidsAreVersionFourAndDistinct) {
  std::set<std::string> seen;
  std::set<std::u16string> runtime;
  for (int i = 0; i < 500; ++i) {
    const Guid guid = GenerateGuid();
    const std::string text = GuidToText(guid);
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
    EXPECT_EQ(ParseGuid(text.c_str()), guid);
    seen.insert(text);
    // Parsing and printing again gives the same text only for the upper-case form.
    const std::u16string wide = RuntimeGuidText();
    const std::optional<Guid> parsed = ParseGuid(wide);
    EXPECT_EQ(parsed ? GuidToWideText(*parsed) : u"", wide);
    runtime.insert(wide);
  }
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(runtime.size(), 500u);
  EXPECT_TRUE(GenerateGuid(kRandomGuid).has_value());
  EXPECT_FALSE(GenerateGuid(1).has_value());
}

TEST(Guid, RandomBytesFillTheWholeBuffer) {
  std::vector<uint8_t> a(4096, 0), b(4096, 0);
  GetRandomBytes(a.data(), a.size());
  GetRandomBytes(b.data(), b.size());
  EXPECT_NE(a, b);
  // No run of zeros as long as a filled buffer would never have.
  size_t run = 0, longest = 0;
  for (uint8_t byte : a) longest = std::max(longest, run = byte ? 0 : run + 1);
  EXPECT_LT(longest, 8u);
  GetRandomBytes(nullptr, 0);
}

}  // namespace
}  // namespace Common
