#include "processor/format/date_format.h"

#include <unicode/datefmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <cmath>

namespace Processor {

namespace {

icu::DateFormat::EStyle IcuStyle(int style) {
  switch (style) {
    case DateFormat::kMedium:
      return icu::DateFormat::kMedium;
    case DateFormat::kLong:
      return icu::DateFormat::kLong;
    case DateFormat::kFull:
      return icu::DateFormat::kFull;
    default:
      return icu::DateFormat::kShort;
  }
}

}  // namespace

DateFormatICU::DateFormatICU(Kind kind, int style)
    : kind_(kind), style_(style < kShort || style > kMachine ? kShort : style) {
  Build();
}

DateFormatICU::~DateFormatICU() = default;

void DateFormatICU::SetStyle(int style) {
  if (style < kShort || style > kMachine) style = kShort;
  if (style == style_ && format_) return;
  style_ = style;
  Build();
}

void DateFormatICU::Build() {
  format_.reset();
  if (style_ == kMachine) {
    // Fixed texts for logs and files: the same in every locale, in UTC.
    const char16_t* pattern = kind_ == kDate   ? u"yyyy-MM-dd"
                              : kind_ == kTime ? u"HH:mm:ss 'UNC'"
                                               : u"yyyy-MM-dd HH:mm:ss 'UNC'";
    UErrorCode status = U_ZERO_ERROR;
    auto format =
        std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(pattern), icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return;
    format->adoptTimeZone(icu::TimeZone::createTimeZone(u"UTC"));
    format_ = std::move(format);
    return;
  }
  const icu::DateFormat::EStyle style = IcuStyle(style_);
  switch (kind_) {
    case kDate:
      format_.reset(icu::DateFormat::createDateInstance(style));
      break;
    case kTime:
      format_.reset(icu::DateFormat::createTimeInstance(style));
      break;
    case kDateTime:
      format_.reset(icu::DateFormat::createDateTimeInstance(style, icu::DateFormat::kMedium));
      break;
  }
}

bool DateFormatICU::Format(double date, std::u16string& out) {
  if (!format_ || !std::isfinite(date)) return false;
  icu::UnicodeString text;
  format_->format(date, text);
  out.append(reinterpret_cast<const char16_t*>(text.getBuffer()), static_cast<size_t>(text.length()));
  return true;
}

}  // namespace Processor
