// The disk layer's message formatter: the placeholder syntax of
// Processor::MessageFormatImpl over UTF-16 text arguments, with the keywords
// "simple", "choice", "bytesize" and "currency".
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "processor/format/pattern.h"

namespace Fdisk {

using Processor::Segments;

class SubformatBase {
 public:
  virtual size_t Format(std::u16string_view argument, std::u16string& output, const Segments& segments) = 0;
  virtual ~SubformatBase() = default;
};

// The text as it is.
class SubformatSimple final : public SubformatBase {
 public:
  size_t Format(std::u16string_view argument, std::u16string& output, const Segments& segments) override;
};

// The argument read as a number (a text that is none counts by its length),
// compared with the entries of the style as Processor::SubformatChoice does.
class SubformatChoice final : public SubformatBase {
 public:
  size_t Format(std::u16string_view argument, std::u16string& output, const Segments& segments) override;
};

// A byte count as "1.50 KB": the style segment gives the fraction digits.
class SubformatBytesize final : public SubformatBase {
 public:
  SubformatBytesize();
  size_t Format(std::u16string_view argument, std::u16string& output, const Segments& segments) override;

 private:
  std::u16string labels_[5];  // Bytes, KB, MB, GB, TB
};

// A decimal number with its digits grouped by three: "-1,234,567.25".
class SubformatCurrency final : public SubformatBase {
 public:
  size_t Format(std::u16string_view argument, std::u16string& output, const Segments& segments) override;
};

class MessageFormat final : private Processor::PlaceholderFormatter {
 public:
  MessageFormat();
  ~MessageFormat() override;

  std::u16string Format(std::u16string_view pattern, const std::vector<std::u16string>& arguments);
  std::u16string Format(std::u16string_view pattern, std::initializer_list<std::u16string_view> arguments);

 private:
  void FormatPlaceholder(const Segments& segments, std::u16string_view raw, std::u16string& out) override;

  std::map<std::u16string, std::unique_ptr<SubformatBase>, std::less<>> registry_;
  const std::u16string_view* arguments_ = nullptr;
  size_t count_ = 0;
};

// A decimal integer, or hexadecimal digits followed by "H" ("400H" = 1024),
// with an optional leading "-"; blanks around are allowed.
struct Number {
  bool negative = false;
  uint64_t magnitude = 0;
};
std::optional<Number> ReadNumber(std::u16string_view text);

}  // namespace Fdisk
