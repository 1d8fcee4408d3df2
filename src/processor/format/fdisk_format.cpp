#include "processor/format/fdisk_format.h"

#include <cstdio>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "processor/format/subformat.h"

namespace Fdisk {

using Processor::SEGMENT_ARGUMENT;
using Processor::SEGMENT_KEYWORD;
using Processor::SEGMENT_STYLE;

std::optional<Number> ReadNumber(std::u16string_view text) {
  const std::u16string trimmed = Processor::TrimText(text);
  std::u16string_view digits = trimmed;
  Number number;
  if (!digits.empty() && digits[0] == u'-') {
    number.negative = true;
    digits.remove_prefix(1);
  }
  unsigned radix = 10;
  if (!digits.empty() && (digits.back() == u'H' || digits.back() == u'h')) {
    radix = 16;
    digits.remove_suffix(1);
  }
  const std::optional<uint64_t> magnitude = Processor::ParseDigits(digits, radix);
  if (!magnitude) return std::nullopt;
  number.magnitude = *magnitude;
  return number;
}

// ---- subformats --------------------------------------------------------------------------

size_t SubformatSimple::Format(std::u16string_view argument, std::u16string& output, const Segments&) {
  output += argument;
  return argument.size();
}

size_t SubformatChoice::Format(std::u16string_view argument, std::u16string& output, const Segments& segments) {
  double value = static_cast<double>(argument.size());
  if (const auto number = ReadNumber(argument)) {
    value = static_cast<double>(number->magnitude);
    if (number->negative) value = -value;
  }
  const auto entries = Processor::ParseChoiceEntries(segments[SEGMENT_STYLE], [](std::u16string_view limit, double& v) {
    return Processor::ParsePlainInteger(limit, v);
  });
  for (const Processor::ChoiceEntry& entry : entries) {
    if ((entry.equal && value == entry.limit) || (entry.greater && value > entry.limit) ||
        (entry.less && value < entry.limit)) {
      output += entry.text;
      return entry.text.size();
    }
  }
  return 0;
}

SubformatBytesize::SubformatBytesize() {
  const Common::MessageId ids[5] = {Msg::kByteSizeBytes, Msg::kSizeUnitKB, Msg::kSizeUnitMB, Msg::kSizeUnitGB,
                                    Msg::kSizeUnitTB};
  static constexpr const char16_t* kFallback[5] = {u"Bytes", u"KB", u"MB", u"GB", u"TB"};
  for (int i = 0; i < 5; ++i) {
    const char16_t* label = Common::GetMessage(ids[i]);
    labels_[i] = label && *label ? label : kFallback[i];
  }
}

size_t SubformatBytesize::Format(std::u16string_view argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  const auto number = ReadNumber(argument);
  if (!number || number->negative) {
    output += argument;  // not a size: shown as it came
    return output.size() - before;
  }
  if (number->magnitude < 1024) {
    output += Common::Utf8ToUtf16(std::to_string(number->magnitude));
    output += u' ';
    output += labels_[0];
    return output.size() - before;
  }
  double value = static_cast<double>(number->magnitude);
  int measureID = 0;
  while (value >= 1024 && measureID < 4) {
    value /= 1024;
    ++measureID;
  }
  HV_ASSERT(measureID < 5);
  size_t precision = 0;
  if (!Processor::ParseIndex(segments[SEGMENT_STYLE], precision)) precision = 0;
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  std::string printed = text;
  const size_t point = printed.find('.');
  if (point != std::string::npos)
    printed.resize(precision == 0 ? point : std::min(printed.size(), point + 1 + precision));
  output += Common::Utf8ToUtf16(printed);
  output += u' ';
  output += labels_[measureID];
  return output.size() - before;
}

size_t SubformatCurrency::Format(std::u16string_view argument, std::u16string& output, const Segments&) {
  const size_t before = output.size();
  const std::u16string text = Processor::TrimText(argument);
  size_t i = 0;
  if (!text.empty() && (text[0] == u'-' || text[0] == u'+')) ++i;
  const size_t digitsStart = i;
  while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') ++i;
  const size_t digitsEnd = i;
  bool valid = digitsEnd > digitsStart;
  if (valid && i < text.size() && text[i] == u'.') {
    ++i;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') ++i;
  }
  if (!valid || i != text.size()) {
    output += argument;
    return output.size() - before;
  }
  output += text.substr(0, digitsStart);
  for (size_t k = digitsStart; k < digitsEnd; ++k) {
    if (k > digitsStart && (digitsEnd - k) % 3 == 0) output += u',';
    output += text[k];
  }
  output += text.substr(digitsEnd);
  return output.size() - before;
}

// ---- the formatter ---------------------------------------------------------------------------------

MessageFormat::MessageFormat() {
  registry_.emplace(u"simple", std::make_unique<SubformatSimple>());
  registry_.emplace(u"choice", std::make_unique<SubformatChoice>());
  registry_.emplace(u"bytesize", std::make_unique<SubformatBytesize>());
  registry_.emplace(u"currency", std::make_unique<SubformatCurrency>());
}

MessageFormat::~MessageFormat() = default;

std::u16string MessageFormat::Format(std::u16string_view pattern, const std::vector<std::u16string>& arguments) {
  std::vector<std::u16string_view> views(arguments.begin(), arguments.end());
  const std::u16string_view* saved = arguments_;
  const size_t savedCount = count_;
  arguments_ = views.data();
  count_ = views.size();
  std::u16string out;
  Processor::ExpandPattern(pattern, *this, out);
  arguments_ = saved;
  count_ = savedCount;
  return out;
}

std::u16string MessageFormat::Format(std::u16string_view pattern,
                                     std::initializer_list<std::u16string_view> arguments) {
  return Format(pattern, std::vector<std::u16string>(arguments.begin(), arguments.end()));
}

void MessageFormat::FormatPlaceholder(const Segments& segments, std::u16string_view raw, std::u16string& out) {
  size_t index = 0;
  if (!Processor::ParseIndex(segments[SEGMENT_ARGUMENT], index)) {
    if (Processor::Unquote(segments[SEGMENT_ARGUMENT]).empty()) HV_ASSERT_TEXT("!segments[SEGMENT_ARGUMENT].empty()");
    for (char16_t c : raw)
      if (c != Processor::kFormatQuote) out += c;
    return;
  }
  if (index >= count_) {
    out += u'{';
    out += Processor::Unquote(segments[SEGMENT_ARGUMENT]);
    out += u'}';
    return;
  }
  std::u16string keyword = Processor::Unquote(segments[SEGMENT_KEYWORD]);
  if (keyword.empty()) keyword = u"simple";
  const auto it = registry_.find(keyword);
  if (it == registry_.end()) {
    HV_ASSERT_TEXT("false");
    return;
  }
  it->second->Format(arguments_[index], out, segments);
}

}  // namespace Fdisk
