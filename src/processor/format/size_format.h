// Disk sizes as text ("1.5 GB") and back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "processor/format/number_format.h"

namespace Processor {

class SizeFormat {
 public:
  static constexpr int kAutoUnit = 5;
  static constexpr int kAutoDigits = -1;
  enum Unit { kBytes = 0, kKB = 1, kMB = 2, kGB = 3, kTB = 4 };

  virtual ~SizeFormat() = default;
  // unit 0..4 forces bytes..TB, kAutoUnit chooses; digits 0..3, or kAutoDigits.
  virtual std::u16string Format(uint64_t bytes, int unit = kAutoUnit, int digits = kAutoDigits) const = 0;
  // Reads "number [unit]" at the start of text; *consumed is 0 when nothing
  // was read.
  virtual double Parse(std::u16string_view text, size_t* consumed) const = 0;
};

class SizeFormatImpl final : public SizeFormat {
 public:
  static constexpr int DISK_SIZE_FORMAT_COUNT = 4;
  static constexpr int DSU__SIZE = 5;

  SizeFormatImpl();

  std::u16string Format(uint64_t bytes, int unit = kAutoUnit, int digits = kAutoDigits) const override;
  double Parse(std::u16string_view text, size_t* consumed) const override;

  // The automatic choices, for callers that print the parts themselves.
  static int AutoUnit(uint64_t bytes);
  static int AutoDigits(double quotient);

 private:
  std::array<std::unique_ptr<NumberFormatICU>, DISK_SIZE_FORMAT_COUNT> formats_;
  std::array<std::u16string, DSU__SIZE> labels_;  // with their leading space
};

}  // namespace Processor
