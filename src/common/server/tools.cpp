// Value conversions for machine properties.
#include <limits>

#include "common/server/vm_utils.h"
#include "core/common/error.h"

namespace VirtualWareRaw {

uint64_t Convert(std::u16string_view text) {
  uint64_t value = 0;
  bool valid = !text.empty();
  for (const char16_t c : text) {
    const unsigned digit = static_cast<unsigned>(c - u'0');
    if (digit > 9 || value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      valid = false;
      break;
    }
    value = value * 10 + digit;
  }
  if (!valid) HV_THROW_ARGS(Code::kNotADecimalNumber, Msg::kNotADecimalNumber, "Convert", "value", {text});
  return value;
}

}  // namespace VirtualWareRaw
