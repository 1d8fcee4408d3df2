// Number formats: integers in radix 16 or 10, and ICU locale numbers.
#pragma once

#include <unicode/uversion.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

U_NAMESPACE_BEGIN
class NumberFormat;
U_NAMESPACE_END

namespace Processor {

class Variant;

class NumberFormat {
 public:
  virtual ~NumberFormat() = default;
  // Reads a number at the start of text; *consumed receives the characters
  // used, 0 when there is no number.
  virtual double Parse(std::u16string_view text, size_t* consumed) const = 0;
  virtual void SetFractionDigits(int digits) = 0;
  // Appends the value; false (nothing appended) when the format cannot show it.
  virtual bool Format(const Variant& value, std::u16string& out, int minDigits = 0) const = 0;
  // Writes into buffer (terminated when there is room) and returns the full
  // length of the text, 0 when the value cannot be shown.
  virtual size_t FormatTo(const Variant& value, char16_t* buffer, size_t capacity, int minDigits = 0) const;
};

// Integers with the digits "0123456789ABCDEF". Radix 16 shows the two's
// complement of negative values (codes read best that way); radix 10 shows
// them with a minus sign.
class NumberFormatHEX final : public NumberFormat {
 public:
  explicit NumberFormatHEX(unsigned radix);

  double Parse(std::u16string_view text, size_t* consumed) const override;
  void SetFractionDigits(int) override {}
  bool Format(const Variant& value, std::u16string& out, int minDigits = 0) const override;

  void FormatUnsigned(uint64_t value, std::u16string& out, int minDigits = 0) const;
  unsigned Radix() const { return radix_; }

 private:
  unsigned radix_;
};

// An ICU NumberFormat for the default locale, or a DecimalFormat built from a
// pattern. Without an ICU formatter (creation failed) nothing formats.
class NumberFormatICU final : public NumberFormat {
 public:
  NumberFormatICU();
  explicit NumberFormatICU(std::u16string_view pattern);
  ~NumberFormatICU() override;

  bool IsValid() const { return format_ != nullptr; }
  double Parse(std::u16string_view text, size_t* consumed) const override;
  // Sets the maximum number of fraction digits (the minimum stays 0).
  void SetFractionDigits(int digits) override;
  bool Format(const Variant& value, std::u16string& out, int minDigits = 0) const override;
  bool FormatDouble(double value, std::u16string& out) const;

 private:
  std::unique_ptr<icu::NumberFormat> format_;
};

}  // namespace Processor
