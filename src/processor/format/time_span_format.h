// Durations in milliseconds as "hh:mm:ss" (hours not wrapped into days).
#pragma once

#include <cstdint>
#include <string>

#include "processor/format/number_format.h"

namespace Processor {

class TimeSpanFormat {
 public:
  // Appends the span; withMilliseconds adds "." and three digits.
  void Format(std::u16string& out, int64_t milliseconds, bool withMilliseconds = false) const;

 private:
  NumberFormatHEX decimal_{10};
};

}  // namespace Processor
