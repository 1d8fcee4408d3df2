#include "processor/format/size_format.h"

#include <unicode/unistr.h>

#include "core/common/assert.h"
#include "core/common/error.h"

namespace Processor {

namespace {

constexpr uint64_t kDivisors[SizeFormatImpl::DSU__SIZE] = {1, 1ull << 10, 1ull << 20, 1ull << 30, 1ull << 40};

std::u16string Upper(std::u16string_view text) {
  icu::UnicodeString s(text.data(), static_cast<int32_t>(text.size()));
  s.toUpper();
  return std::u16string(reinterpret_cast<const char16_t*>(s.getBuffer()), static_cast<size_t>(s.length()));
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\xA0' || c == u'\x202F'; }

}  // namespace

SizeFormatImpl::SizeFormatImpl() {
  for (int i = 0; i < DISK_SIZE_FORMAT_COUNT; ++i) {
    formats_[i] = std::make_unique<NumberFormatICU>();
    formats_[i]->SetFractionDigits(i);
  }
  // The message table cannot hold a leading blank, so the space is added here.
  const Common::MessageId ids[DSU__SIZE] = {Msg::kSizeUnitBytes, Msg::kSizeUnitKB, Msg::kSizeUnitMB, Msg::kSizeUnitGB,
                                            Msg::kSizeUnitTB};
  static constexpr const char16_t* kFallback[DSU__SIZE] = {u"bytes", u"KB", u"MB", u"GB", u"TB"};
  for (int i = 0; i < DSU__SIZE; ++i) {
    const char16_t* label = Common::GetMessage(ids[i]);
    labels_[i] = std::u16string(u" ") + (label && *label ? label : kFallback[i]);
  }
}

int SizeFormatImpl::AutoUnit(uint64_t bytes) {
  for (int unit = kBytes; unit < kTB; ++unit)
    if (999 * kDivisors[unit] >= bytes) return unit;
  return kTB;
}

int SizeFormatImpl::AutoDigits(double quotient) {
  if (quotient >= 1000) return 0;
  if (quotient >= 100) return 1;
  if (quotient >= 10) return 2;
  return 3;
}

std::u16string SizeFormatImpl::Format(uint64_t bytes, int unit, int digits) const {
  int tmpDsu = unit == kAutoUnit ? AutoUnit(bytes) : unit;
  if (tmpDsu < 0 || tmpDsu >= DSU__SIZE) {
    HV_ASSERT(tmpDsu < DSU__SIZE);
    tmpDsu = AutoUnit(bytes);
  }
  const double quotient = static_cast<double>(bytes) / static_cast<double>(kDivisors[tmpDsu]);
  int tmpIndex = digits < 0 ? AutoDigits(quotient) : digits;
  if (tmpIndex >= DISK_SIZE_FORMAT_COUNT) {
    HV_ASSERT(tmpIndex < DISK_SIZE_FORMAT_COUNT);
    tmpIndex = DISK_SIZE_FORMAT_COUNT - 1;
  }
  // Bytes are whole: no fraction whatever the quotient.
  if (tmpDsu == kBytes) tmpIndex = 0;
  std::u16string out;
  if (!formats_[tmpIndex]->FormatDouble(quotient, out)) return u"<unknown>";
  out += labels_[tmpDsu];
  return out;
}

double SizeFormatImpl::Parse(std::u16string_view text, size_t* consumed) const {
  if (consumed) *consumed = 0;
  std::u16string upper = Upper(text);
  // Positions must stay those of the caller's text.
  if (upper.size() != text.size()) upper = std::u16string(text);
  size_t used = 0;
  // The three-digit format reads any fraction; digit counts only limit output.
  const double number = formats_[DISK_SIZE_FORMAT_COUNT - 1]->Parse(upper, &used);
  if (used == 0) return 0;
  size_t at = used;
  while (at < upper.size() && IsBlank(upper[at])) ++at;
  int bestUnit = -1;
  size_t bestLength = 0;
  for (int unit = 0; unit < DSU__SIZE; ++unit) {
    std::u16string label = Upper(labels_[unit]);
    while (!label.empty() && IsBlank(label.front())) label.erase(label.begin());
    if (label.empty() || label.size() <= bestLength) continue;
    if (upper.compare(at, label.size(), label) == 0) {
      bestUnit = unit;
      bestLength = label.size();
    }
  }
  if (consumed) *consumed = bestUnit < 0 ? used : at + bestLength;
  return bestUnit < 0 ? number : number * static_cast<double>(kDivisors[bestUnit]);
}

}  // namespace Processor
