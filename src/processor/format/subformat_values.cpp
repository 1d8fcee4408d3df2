// Plain values, numbers, dates, sizes and time spans.
#include <cmath>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "processor/format/error_format.h"
#include "processor/format/message_format.h"
#include "processor/format/subformat.h"

namespace Processor {

// ---- shared formatters --------------------------------------------------------------

FormatResources::FormatResources(MessageFormatImpl& owner) : owner_(owner) {}
FormatResources::~FormatResources() = default;

NumberFormatICU& FormatResources::LocaleNumber() {
  if (!locale_) locale_ = std::make_unique<NumberFormatICU>();
  return *locale_;
}

SizeFormatImpl& FormatResources::Size() {
  if (!size_) size_ = std::make_unique<SizeFormatImpl>();
  return *size_;
}

DateFormatICU& FormatResources::DateTime() {
  if (!dateTime_) dateTime_ = std::make_unique<DateFormatICU>(DateFormat::kDateTime, DateFormat::kShort);
  return *dateTime_;
}

ErrorFormatImpl& FormatResources::Errors() {
  if (!errors_) errors_ = std::make_unique<ErrorFormatImpl>(owner_);
  return *errors_;
}

SubformatSimple& FormatResources::Simple() {
  if (!simple_) simple_ = std::make_unique<SubformatSimple>(*this);
  return *simple_;
}

// ---- numeric arguments ------------------------------------------------------------------

namespace {

// Whole numbers read exactly (doubles lose the low digits of 64-bit values).
std::optional<uint64_t> ExactInteger(std::u16string_view text) {
  text = std::u16string_view(text);
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
  unsigned radix = 10;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    radix = 16;
    text.remove_prefix(2);
  }
  return ParseDigits(text, radix);
}

}  // namespace

std::optional<Variant> NumericArgument(const Variant& argument) {
  if (argument.IsNumeric()) return argument;
  if (argument.GetType() != Variant::TString && argument.GetType() != Variant::TIdentifier) return std::nullopt;
  const std::u16string text =
      argument.GetType() == Variant::TString ? argument.GetString() : Common::Utf8ToUtf16(argument.GetIdentifier());
  if (const auto exact = ExactInteger(text)) return Variant(static_cast<unsigned long long>(*exact));
  double value = 0;
  if (!ParseNumberText(text, value)) return std::nullopt;
  return Variant(value);
}

// ---- plain values -----------------------------------------------------------------------------

void SubformatSimple::Append(const Variant& argument, std::u16string& output) {
  switch (argument.GetType()) {
    case Variant::TString:
      output += argument.GetString();
      return;
    case Variant::TIdentifier:
      output += Common::Utf8ToUtf16(argument.GetIdentifier());
      return;
    case Variant::TDouble:
    case Variant::TLong:
    case Variant::TULong:
    case Variant::TLong64:
    case Variant::TULong64:
      if (!resources_.LocaleNumber().Format(argument, output)) output += u"<unknown>";
      return;
    case Variant::TDate:
      if (!resources_.DateTime().Format(argument.GetDate(), output)) output += u"<unknown>";
      return;
    case Variant::TBool:
      output += argument.GetBool() ? u"true" : u"false";
      return;
    case Variant::TBinary:
      output += u"<binary data>";
      return;
    case Variant::TEmpty:
      output += u"<void>";
      return;
    case Variant::TError:
      output += resources_.Errors().Format(argument.GetError());
      return;
    case Variant::TInterface: {
      const AutoRef<Interface> object = argument.GetInterface();
      if (AutoRef<TextSource> text = object.Query<TextSource>()) {
        output += text->GetText();
      } else if (AutoRef<DisplayTextSource> display = object.Query<DisplayTextSource>()) {
        output += display->GetText();
      } else {
        output += u"<unknown interface>";
      }
      return;
    }
    default:
      output += u"<unknown>";
      return;
  }
}

size_t SubformatSimple::Format(const Variant& argument, std::u16string& output, const Segments&) {
  const size_t before = output.size();
  Append(argument, output);
  return output.size() - before;
}

// ---- numbers --------------------------------------------------------------------------------------

size_t SubformatNumber::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  const std::u16string style = Unquote(segments[SEGMENT_STYLE]);
  const std::optional<Variant> number = NumericArgument(argument);
  if (!number) {
    // A text that is no number is shown as it is rather than lost.
    if (argument.GetType() == Variant::TString || argument.GetType() == Variant::TIdentifier)
      resources_.Simple().Append(argument, output);
    else if (style == u"hex" || style == u"simple")
      HV_ASSERT_TEXT("false");
    else
      output += u"<unknown>";
    return output.size() - before;
  }
  if (style == u"integer") {
    const std::u16string pattern = Unquote(segments[SEGMENT_PARAMETER]);
    if (!pattern_ || pattern != patternText_) {
      pattern_ = std::make_unique<NumberFormatICU>(pattern);
      patternText_ = pattern;
    }
    if (!pattern_->Format(*number, output)) output += u"<unknown>";
  } else if (style == u"hex") {
    resources_.Hex().Format(*number, output);
  } else if (style == u"simple") {
    resources_.Decimal().Format(*number, output);
  } else if (!resources_.LocaleNumber().Format(*number, output)) {
    output += u"<unknown>";
  }
  return output.size() - before;
}

// ---- dates ------------------------------------------------------------------------------------------

size_t SubformatDate::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  const std::u16string style = Unquote(segments[SEGMENT_STYLE]);
  const int index = style == u"medium" ? DateFormat::kMedium
                    : style == u"long" ? DateFormat::kLong
                    : style == u"full" ? DateFormat::kFull
                                       : DateFormat::kShort;
  const std::optional<Variant> number = NumericArgument(argument);
  if (!number) {
    HV_ASSERT_TEXT("false");
    output += u"<invalid date>";
    return output.size() - before;
  }
  if (!format_)
    format_ = std::make_unique<DateFormatICU>(kind_, index);
  else
    format_->SetStyle(index);
  if (!format_->Format(number->ToDouble(), output)) output += u"<unknown>";
  return output.size() - before;
}

// ---- sizes --------------------------------------------------------------------------------------------

size_t SubformatSize::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  const std::optional<Variant> number = NumericArgument(argument);
  uint64_t bytes = 0;
  if (!number) {
    output += u"<unknown>";
    return output.size() - before;
  }
  switch (number->GetType()) {
    case Variant::TULong64:
      bytes = number->GetULong64();
      break;
    case Variant::TULong:
      bytes = number->GetULong();
      break;
    case Variant::TLong:
      bytes = number->GetLong() < 0 ? 0 : static_cast<uint64_t>(number->GetLong());
      break;
    case Variant::TLong64:
      bytes = number->GetLong64() < 0 ? 0 : static_cast<uint64_t>(number->GetLong64());
      break;
    default: {
      const double value = number->ToDouble();
      // Negative sizes and NaN show as 0; beyond 2^64 the largest size.
      bytes = !(value > 0) ? 0 : value >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(value);
      break;
    }
  }
  const bool forceBytes = Unquote(segments[SEGMENT_STYLE]) == u"bytes";
  output += resources_.Size().Format(bytes, forceBytes ? SizeFormat::kBytes : SizeFormat::kAutoUnit);
  return output.size() - before;
}

// ---- time spans -------------------------------------------------------------------------------------------

size_t SubformatTimeSpan::Format(const Variant& argument, std::u16string& output, const Segments&) {
  const size_t before = output.size();
  const std::optional<Variant> number = NumericArgument(argument);
  int64_t milliseconds = 0;
  bool valid = number.has_value();
  if (valid) {
    switch (number->GetType()) {
      case Variant::TLong:
        milliseconds = number->GetLong();
        break;
      case Variant::TULong:
        milliseconds = number->GetULong();
        break;
      case Variant::TLong64:
        milliseconds = number->GetLong64();
        break;
      case Variant::TULong64:
        milliseconds = number->GetULong64() > static_cast<uint64_t>(INT64_MAX)
                           ? INT64_MAX
                           : static_cast<int64_t>(number->GetULong64());
        break;
      case Variant::TDouble: {
        const double value = number->GetDouble();
        valid = std::isfinite(value) && std::fabs(value) < 9.2e18;
        if (valid) milliseconds = static_cast<int64_t>(value);
        break;
      }
      default:
        valid = false;
        break;
    }
  }
  if (!valid) {
    HV_ASSERT_TEXT("false");
    output += u"<invalid time span>";
    return output.size() - before;
  }
  format_.Format(output, milliseconds);
  return output.size() - before;
}

}  // namespace Processor
