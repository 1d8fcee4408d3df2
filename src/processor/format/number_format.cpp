#include "processor/format/number_format.h"

#include <unicode/decimfmt.h>
#include <unicode/numfmt.h>
#include <unicode/parsepos.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/common/assert.h"
#include "processor/utils/variant.h"

namespace Processor {

size_t NumberFormat::FormatTo(const Variant& value, char16_t* buffer, size_t capacity, int minDigits) const {
  std::u16string text;
  if (!Format(value, text, minDigits)) return 0;
  if (buffer && capacity > 0) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n * sizeof(char16_t));
    buffer[n] = 0;
  }
  return text.size();
}

// ---- radix 16 / 10 -----------------------------------------------------------

NumberFormatHEX::NumberFormatHEX(unsigned radix) : radix_(radix == 16 ? 16 : 10) {}

void NumberFormatHEX::FormatUnsigned(uint64_t value, std::u16string& out, int minDigits) const {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  char16_t digits[64];
  int count = 0;
  do {
    digits[count++] = kDigits[value % radix_];
    value /= radix_;
  } while (value != 0);
  minDigits = std::min(minDigits, 64);
  for (int i = count; i < minDigits; ++i) out += u'0';
  while (count > 0) out += digits[--count];
}

bool NumberFormatHEX::Format(const Variant& value, std::u16string& out, int minDigits) const {
  int64_t signedValue = 0;
  uint64_t bits = 0;
  switch (value.GetType()) {
    case Variant::TLong:
      signedValue = value.GetLong();
      bits = static_cast<uint32_t>(value.GetLong());
      break;
    case Variant::TULong:
      signedValue = value.GetULong();
      bits = value.GetULong();
      break;
    case Variant::TLong64:
      signedValue = value.GetLong64();
      bits = static_cast<uint64_t>(value.GetLong64());
      break;
    case Variant::TULong64:
      bits = value.GetULong64();
      break;
    default:
      HV_ASSERT_TEXT("false");
      return false;
  }
  if (radix_ == 10 && signedValue < 0) {
    out += u'-';
    bits = 0 - static_cast<uint64_t>(signedValue);
  }
  FormatUnsigned(bits, out, minDigits);
  return true;
}

double NumberFormatHEX::Parse(std::u16string_view text, size_t* consumed) const {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) i += 2;
  const size_t digitsStart = i;
  uint64_t exact = 0;
  double approx = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    unsigned digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else
      break;
    if (digit >= radix_) break;
    approx = approx * radix_ + digit;
    if (!overflow && exact > (UINT64_MAX - digit) / radix_) overflow = true;
    if (!overflow) exact = exact * radix_ + digit;
  }
  if (i == digitsStart) {
    // A lone "0x" still reads as the number 0.
    const bool zeroPrefix = digitsStart >= 2 && text[digitsStart - 2] == u'0';
    if (consumed) *consumed = zeroPrefix ? digitsStart - 1 : 0;
    return 0;
  }
  if (consumed) *consumed = i;
  const double magnitude = overflow ? approx : static_cast<double>(exact);
  return negative ? -magnitude : magnitude;
}

// ---- ICU -------------------------------------------------------------------------

NumberFormatICU::NumberFormatICU() {
  UErrorCode status = U_ZERO_ERROR;
  format_.reset(icu::NumberFormat::createInstance(status));
  if (U_FAILURE(status)) format_.reset();
}

NumberFormatICU::NumberFormatICU(std::u16string_view pattern) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString text(pattern.data(), static_cast<int32_t>(pattern.size()));
  format_ = std::make_unique<icu::DecimalFormat>(text, status);
  if (U_FAILURE(status)) format_.reset();
}

NumberFormatICU::~NumberFormatICU() = default;

double NumberFormatICU::Parse(std::u16string_view text, size_t* consumed) const {
  if (consumed) *consumed = 0;
  if (!format_ || text.size() > INT32_MAX) return 0;
  const icu::UnicodeString source(text.data(), static_cast<int32_t>(text.size()));
  icu::Formattable result;
  icu::ParsePosition position(0);
  format_->parse(source, result, position);
  if (position.getIndex() <= 0) return 0;
  UErrorCode status = U_ZERO_ERROR;
  const double value = result.getDouble(status);
  if (U_FAILURE(status)) return 0;
  if (consumed) *consumed = static_cast<size_t>(position.getIndex());
  return value;
}

void NumberFormatICU::SetFractionDigits(int digits) {
  if (format_) format_->setMaximumFractionDigits(std::max(digits, 0));
}

bool NumberFormatICU::FormatDouble(double value, std::u16string& out) const {
  if (!format_) return false;
  icu::UnicodeString text;
  format_->format(value, text);
  out.append(reinterpret_cast<const char16_t*>(text.getBuffer()), static_cast<size_t>(text.length()));
  return true;
}

bool NumberFormatICU::Format(const Variant& value, std::u16string& out, int) const {
  if (!format_) return false;
  icu::UnicodeString text;
  switch (value.GetType()) {
    case Variant::TDouble:
    case Variant::TDate:
      format_->format(value.GetType() == Variant::TDouble ? value.GetDouble() : value.GetDate(), text);
      break;
    case Variant::TLong:
      format_->format(value.GetLong(), text);
      break;
    case Variant::TULong:
      format_->format(static_cast<int64_t>(value.GetULong()), text);
      break;
    case Variant::TLong64:
      format_->format(static_cast<int64_t>(value.GetLong64()), text);
      break;
    case Variant::TULong64: {
      const uint64_t v = value.GetULong64();
      if (v <= static_cast<uint64_t>(INT64_MAX)) {
        format_->format(static_cast<int64_t>(v), text);
        break;
      }
      // Beyond int64: hand ICU the exact decimal digits.
      const std::string digits = std::to_string(v);
      UErrorCode status = U_ZERO_ERROR;
      icu::Formattable number(icu::StringPiece(digits.c_str()), status);
      if (U_FAILURE(status)) return false;
      icu::FieldPosition position;
      format_->format(number, text, position, status);
      if (U_FAILURE(status)) return false;
      break;
    }
    default:
      return false;
  }
  out.append(reinterpret_cast<const char16_t*>(text.getBuffer()), static_cast<size_t>(text.length()));
  return true;
}

}  // namespace Processor
