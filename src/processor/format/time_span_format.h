// Durations in milliseconds as "hh:mm:ss" (hours not wrapped into days).
#pragma once

#include <cstdint>
#include <string>

#include "processor/format/number_format.h"

namespace Processor {

class TimeSpanFormat {
 public:
  virtual ~TimeSpanFormat() = default;
  // Appends the span; withMilliseconds adds "." and three digits.
  virtual void Format(std::u16string& out, int64_t milliseconds, bool withMilliseconds = false) const = 0;
};

class TimeSpanFormatImpl final : public TimeSpanFormat {
 public:
  void Format(std::u16string& out, int64_t milliseconds, bool withMilliseconds = false) const override;

 private:
  NumberFormatHEX decimal_{10};
};

}  // namespace Processor
