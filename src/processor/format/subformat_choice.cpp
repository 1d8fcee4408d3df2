// Conditional texts (choice) and plural agreement (concord).
#include <cmath>

#include "core/common/assert.h"
#include "core/common/error.h"
#include "processor/format/subformat.h"

namespace Processor {

namespace {

constexpr char16_t kLessOrEqual = u'\x2264';

bool IsRelation(char16_t c) { return c == u'#' || c == kLessOrEqual || c == u'<' || c == u'>'; }

void SetRelation(ChoiceEntry& entry, char16_t c) {
  if (c == u'<')
    entry.greater = true;
  else if (c == u'>')
    entry.less = true;
  else
    entry.equal = true;
}

}  // namespace

// Plain integers are read directly: limits are almost always such, and ICU
// parsing costs more than the rest of a placeholder.
bool ParsePlainInteger(std::u16string_view text, double& value) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == u'-';
  if (negative) ++i;
  if (i == text.size() || text.size() - i > 15) return false;
  double v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    v = v * 10 + (text[i] - u'0');
  }
  value = negative ? -v : v;
  return true;
}

std::vector<ChoiceEntry> SubformatChoice::ParseEntries(std::u16string_view style) {
  return ParseChoiceEntries(style, [this](std::u16string_view limit, double& value) {
    if (ParsePlainInteger(limit, value)) return true;
    if (limit.empty()) return false;
    size_t consumed = 0;
    value = resources_.LocaleNumber().Parse(limit, &consumed);
    return consumed == limit.size();
  });
}

std::vector<ChoiceEntry> ParseChoiceEntries(std::u16string_view style,
                                            const std::function<bool(std::u16string_view, double&)>& readLimit) {
  std::vector<ChoiceEntry> entries;
  ChoiceEntry entry;
  std::u16string limit;
  int part = 0;  // 0 limit, 1 relations, 2 text
  bool quoting = false;
  auto finish = [&] {
    const std::u16string trimmed = TrimText(limit);
    double value = 0;
    if (part > 0 && readLimit(trimmed, value)) {
      entry.limit = value;
      entries.push_back(std::move(entry));
    }
    entry = ChoiceEntry();
    limit.clear();
    part = 0;
  };
  for (char16_t c : style) {
    if (c == kFormatQuote) {
      quoting = !quoting;
      continue;
    }
    if (!quoting && c == u'|') {
      finish();
      continue;
    }
    if (part == 0) {
      if (!quoting && IsRelation(c)) {
        SetRelation(entry, c);
        part = 1;
      } else {
        limit += c;
      }
    } else if (part == 1 && !quoting && IsRelation(c)) {
      SetRelation(entry, c);
    } else {
      part = 2;
      entry.text += c;
    }
  }
  finish();
  return entries;
}

double SubformatChoice::ArgumentValue(const Variant& argument) {
  switch (argument.GetType()) {
    case Variant::TDate:
    case Variant::TDouble:
    case Variant::TLong:
    case Variant::TULong:
    case Variant::TLong64:
    case Variant::TULong64:
    case Variant::TBool:
      return argument.ToDouble();
    case Variant::TString:
      return static_cast<double>(argument.GetString().size());
    default:
      HV_ASSERT_TEXT("false");
      return 0;
  }
}

bool SubformatChoice::Matches(const Variant& argument, std::u16string& output, const ChoiceEntry& entry) {
  const double value = ArgumentValue(argument);
  const bool holds = (entry.equal && value == entry.limit) || (entry.greater && value > entry.limit) ||
                     (entry.less && value < entry.limit);
  if (holds) output += entry.text;
  return holds;
}

size_t SubformatChoice::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  for (const ChoiceEntry& entry : ParseEntries(segments[SEGMENT_STYLE]))
    if (Matches(argument, output, entry)) break;
  return output.size() - before;
}

// ---- concord -------------------------------------------------------------------------------

int SubformatConcord::PluralForm(double value, int rule) {
  if (rule != 0) return value == 1 ? 0 : 1;
  if (!std::isfinite(value) || value != std::trunc(value)) return 1;
  const double n = std::fmod(std::fabs(value), 100.0);
  if (n >= 5 && n <= 20) return 2;
  const double last = std::fmod(n, 10.0);
  if (last == 1) return 0;
  if (last >= 2 && last <= 4) return 1;
  return 2;
}

int SubformatConcord::Rule() const {
  if (ruleOverride_) return *ruleOverride_;
  size_t index = 0;
  const char16_t* text = Common::GetMessage(Msg::kPluralRule);
  if (text && ParseIndex(text, index)) return static_cast<int>(index);
  return 1;
}

bool SubformatConcord::Matches(const Variant& argument, std::u16string& output, const ChoiceEntry& entry) {
  const int form = PluralForm(ArgumentValue(argument), Rule());
  if (entry.limit != form) return false;
  output += entry.text;
  return true;
}

size_t SubformatConcord::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  const std::vector<ChoiceEntry> entries = ParseEntries(segments[SEGMENT_STYLE]);
  if (entries.empty()) return 0;
  fallback_ = entries.back().text;
  for (const ChoiceEntry& entry : entries)
    if (Matches(argument, output, entry)) return output.size() - before;
  output += fallback_;
  return output.size() - before;
}

}  // namespace Processor
