// Dates and times through ICU. A date is a double: milliseconds since
// 1970-01-01 00:00 UTC (ICU's UDate).
#pragma once

#include <unicode/uversion.h>

#include <memory>
#include <string>

U_NAMESPACE_BEGIN
class DateFormat;
U_NAMESPACE_END

namespace Processor {

class DateFormat {
 public:
  enum Kind { kDate = 0, kTime = 1, kDateTime = 2 };
  // ICU styles by index, plus the fixed machine style.
  enum Style { kShort = 0, kMedium = 1, kLong = 2, kFull = 3, kMachine = 4 };

  virtual ~DateFormat() = default;
  virtual void SetStyle(int style) = 0;
  // Appends the date; false when there is no formatter.
  virtual bool Format(double date, std::u16string& out) = 0;
};

class DateFormatICU final : public DateFormat {
 public:
  explicit DateFormatICU(Kind kind, int style = kShort);
  ~DateFormatICU() override;

  // Rebuilds the ICU formatter only when the style changes.
  void SetStyle(int style) override;
  bool Format(double date, std::u16string& out) override;
  int GetStyle() const { return style_; }

 private:
  void Build();

  std::unique_ptr<icu::DateFormat> format_;
  Kind kind_;
  int style_;
};

}  // namespace Processor
