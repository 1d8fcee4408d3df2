// Fixed surroundings for the processor tests: English messages, the en_US
// locale and UTC, whatever the machine says; assertions only log a line.
#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cstdlib>

namespace {

class FixedLocale : public ::testing::Environment {
 public:
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
  }
};

const bool kEnvironment = [] {
  setenv("LANGUAGE", "en", 1);
  setenv("QUILLON_SAFE_ASSERT", "log", 0);
  ::testing::AddGlobalTestEnvironment(new FixedLocale);
  return true;
}();

}  // namespace
