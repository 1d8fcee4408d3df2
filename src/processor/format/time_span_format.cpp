#include "processor/format/time_span_format.h"

namespace Processor {

void TimeSpanFormat::Format(std::u16string& out, int64_t milliseconds, bool withMilliseconds) const {
  uint64_t ms = static_cast<uint64_t>(milliseconds);
  if (milliseconds < 0) {
    out += u'-';
    ms = 0 - ms;
  }
  decimal_.FormatUnsigned(ms / 3600000, out, 2);
  out += u':';
  decimal_.FormatUnsigned(ms / 60000 % 60, out, 2);
  out += u':';
  decimal_.FormatUnsigned(ms / 1000 % 60, out, 2);
  if (withMilliseconds) {
    out += u'.';
    decimal_.FormatUnsigned(ms % 1000, out, 3);
  }
}

}  // namespace Processor
