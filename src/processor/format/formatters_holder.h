// The process-wide formatters behind variant conversions: radix 16 and 10
// integers, the locale number format and the disk size format (plus the date
// format for "TDate" texts). ICU formatters are shared, so their use is
// serialised by the holder's mutex.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "processor/format/date_format.h"
#include "processor/format/number_format.h"
#include "processor/format/size_format.h"
#include "processor/protected_object.h"
#include "processor/ref_ptr.h"

namespace Processor {

class FormatersHolder : public RefObject, public ProtectedObject {
 public:
  FormatersHolder();
  ~FormatersHolder() override;

  // The singleton instance.
  static RefPtr<FormatersHolder> Instance();

  // Stateless: usable without the lock.
  const NumberFormatHEX& Hex() const { return hex_; }
  const NumberFormatHEX& Decimal() const { return decimal_; }

  bool FormatLocale(const Variant& value, std::u16string& out);
  bool FormatDate(double date, std::u16string& out);
  double ParseSize(std::u16string_view text, size_t* consumed);
  std::u16string FormatSize(uint64_t bytes, int unit = SizeFormat::kAutoUnit, int digits = SizeFormat::kAutoDigits);

 private:
  NumberFormatHEX hex_{16};
  NumberFormatHEX decimal_{10};
  NumberFormatICU locale_;
  SizeFormatImpl size_;
  DateFormatICU date_{DateFormat::kDateTime, DateFormat::kShort};
};

}  // namespace Processor
