// Assertions: reported as QUILLON_SAFE_ASSERT says; by default the process goes on.
#pragma once

#include "core/common/error.h"

namespace Common {

// Assertion flag bits.
enum AssertFlags : unsigned {
  kAssertBreak = 1,
  kAssertDebug = 2,
  kAssertLog = 4,
  kAssertEvent = 8,
  kAssertMsgBox = 16,
  kAssertAbort = 32,
  kAssertStack = 64,
  kAssertDefault = kAssertDebug | kAssertLog | kAssertEvent | kAssertStack,
};

void ReportAssertion(const char* expression, const char* source, int line);

// Parses a QUILLON_SAFE_ASSERT value: the flag word, or -1 when assertions
// are switched off. Null or empty gives the default.
long ParseAssertSettings(const char* value);

}  // namespace Common

#define HV_ASSERT(condition)                                              \
  do {                                                                    \
    if (!(condition)) ::Common::ReportAssertion(#condition, HV_SOURCE, __LINE__); \
  } while (0)
#define HV_ASSERT_TEXT(text) ::Common::ReportAssertion((text), HV_SOURCE, __LINE__)
