#include "core/common/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/common/assert.h"
#include "core/common/error_codes.h"
#include "core/common/trace.h"
#include "core/common/unix/safe_close.h"

namespace {

std::vector<uint8_t> CopyTable(const uint8_t* table) {
  uint32_t size;
  std::memcpy(&size, table, 4);
  return std::vector<uint8_t>(table, table + size);
}

TEST(MessageTableTest, BuiltinTableLayout) {
  const uint8_t* table = Common::BuiltinMessageTable();
  uint32_t words;
  std::memcpy(&words, table + 4, 4);
  EXPECT_EQ(words, 1815u);
  const auto copy = CopyTable(table);
  EXPECT_TRUE(Common::IsValidMessageTable(copy.data(), copy.size()));
  EXPECT_EQ(std::u16string(Common::LookUpMessage(table, Msg::kBuild)), u"build");
  EXPECT_EQ(std::u16string(Common::LookUpMessage(table, Msg::kVersion)), u"version");
  EXPECT_EQ(Common::LookUpMessage(table, 1813), nullptr);
}

TEST(MessageTableTest, CatalogueHeaderRejection) {
  auto table = CopyTable(Common::BuiltinMessageTable());
  auto sizeWrong = table;
  sizeWrong[0] ^= 2;
  EXPECT_FALSE(Common::IsValidMessageTable(sizeWrong.data(), sizeWrong.size()));
  auto wordsWrong = table;
  wordsWrong[4] = 0x16;  // 1814
  EXPECT_FALSE(Common::IsValidMessageTable(wordsWrong.data(), wordsWrong.size()));
  EXPECT_FALSE(Common::IsValidMessageTable(table.data(), 7));
  // A slot that points outside the buffer.
  auto slotWrong = table;
  slotWrong[8 + 4 * 5 + 3] = 0x7F;
  EXPECT_FALSE(Common::IsValidMessageTable(slotWrong.data(), slotWrong.size()));
}

TEST(AssertSettingsTest, Parsing) {
  using namespace Common;
  using Setting = std::pair<const char*, int>;
  for (const auto& [text, flags] :
       {Setting{nullptr, kAssertDefault}, Setting{"", kAssertDefault}, Setting{"log stack", kAssertLog | kAssertStack},
        Setting{"0x20", kAssertAbort}, Setting{"44", 0x44}, Setting{"quiet", -1}, Setting{"log quiet", -1},
        Setting{"break  debug\tevent msgbox abort",
                kAssertBreak | kAssertDebug | kAssertEvent | kAssertMsgBox | kAssertAbort}})
    EXPECT_EQ(ParseAssertSettings(text), flags) << (text ? text : "null");
}

struct Captured {
  int level;
  uint32_t facility, number;
  std::u16string text;
};

class CapturingSink final : public Common::TraceLogic {
 public:
  using TraceLogic::TraceArgs;
  using TraceLogic::TraceError;
  using TraceLogic::TraceEvent;
  void TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text, uintptr_t) override {
    events.push_back({level, facility, number, text});
  }
  void TraceArgs(int, uint32_t, uint32_t, const char16_t*, const std::vector<std::u16string>&, uintptr_t) override {}
  void TraceError(int level, const Common::Error& error, uintptr_t) override {
    events.push_back({level, error.Code() >> 16, error.Code() & 0xFFFF, error.Message()});
  }
  bool WantsAll() const override { return wantsAll; }
  std::vector<Captured> events;
  bool wantsAll = false;
};

TEST(TraceTest, ThresholdFormattingAndCallbacks) {
  CapturingSink sink;
  Common::Trace(1, 0x53, 1, u"dropped");
  Common::Trace(2, 0x53, 2, Msg::kTraceOpeningVM, {u"/vm/a.vmc"});
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].text, u"Opening virtual machine '/vm/a.vmc'.");
  EXPECT_EQ(sink.events[0].number, 2u);

  sink.wantsAll = true;
  Common::Trace(1, 60, 3, u"kept");
  EXPECT_EQ(sink.events.size(), 2u);
  sink.wantsAll = false;

  static std::vector<std::u16string> seen;
  seen.clear();
  Common::TraceCallback callback;
  callback.event = [](int, uint32_t facility, uint32_t number, const char16_t* text) {
    seen.push_back(std::u16string(text) + u"@" + char16_t(u'0' + facility % 10) + char16_t(u'0' + number % 10));
  };
  Common::RegisterTraceCallback(callback);
  // An error given to a callback without an error function arrives split into facility and number.
  Common::TraceError(3, Common::MakeError(Code::kFileSeek, Msg::kFileSeekError, HV_SITE("Rewind")));
  Common::Trace(0, 0, 0, u"below threshold");
  Common::UnregisterTraceCallback(callback);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], u"Error occurred while searching in the file.@45");
}

TEST(SafeCloseTest, ModeFromEnvironmentText) {
  using namespace Common;
  using Mode = std::pair<const char*, SafeCloseMode>;
  for (const auto& [text, mode] :
       {Mode{nullptr, kSafeCloseAbort}, Mode{"abort", kSafeCloseAbort}, Mode{"abort,break", kSafeCloseBreak},
        Mode{"off", kSafeCloseReturn}, Mode{"", kSafeCloseReturn}})
    EXPECT_EQ(ParseSafeCloseMode(text), mode) << (text ? text : "null");
}

TEST(SafeCloseDeathTest, BadDescriptorStopsTheProcessByDefault) {
  EXPECT_DEATH(
      {
        setenv("QUILLON_SAFE_CLOSE", "abort", 1);
        Common::SafeClose(987654);
      },
      "");
}

TEST(AssertDeathTest, AbortFlagStopsTheProcess) {
  EXPECT_DEATH(
      {
        setenv("QUILLON_SAFE_ASSERT", "0x20", 1);
        Common::ReportAssertion("x == 1", "core/common/test", 7);
      },
      "");
}

TEST(AssertDeathTest, LogAndStackWriteTheTextAndABacktraceWithoutEvents) {
  EXPECT_EXIT(
      {
        setenv("QUILLON_SAFE_ASSERT", "log stack", 1);
        setenv("QUILLON_SAFE_ASSERT_LOGFILE", "stderr", 1);
        CapturingSink sink;
        Common::ReportAssertion("x == 1", "core/common/test", 7);
        std::fprintf(stderr, "events=%zu\n", sink.events.size());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "Assertion failed: x == 1, file core/common/test, line 7\n(.|\n)*events=0");
}

}  // namespace
