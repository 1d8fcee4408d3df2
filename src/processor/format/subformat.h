// The subformats of MessageFormatImpl: one per placeholder keyword, plus the
// plain one for placeholders without a keyword. Each instance keeps its own
// caches, so a formatter and its subformats serve one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "processor/format/break_iterator.h"
#include "processor/format/date_format.h"
#include "processor/format/number_format.h"
#include "processor/format/pattern.h"
#include "processor/format/size_format.h"
#include "processor/format/time_span_format.h"
#include "processor/utils/variant.h"

namespace Processor {

class MessageFormatImpl;
class ErrorFormatImpl;
class SubformatSimple;

// The formatters a MessageFormatImpl shares among its subformats; each ICU
// formatter is made on first use and then kept.
class FormatResources {
 public:
  explicit FormatResources(MessageFormatImpl& owner);
  ~FormatResources();

  MessageFormatImpl& Owner() { return owner_; }
  const NumberFormatHEX& Hex() const { return hex_; }
  const NumberFormatHEX& Decimal() const { return decimal_; }
  NumberFormatICU& LocaleNumber();
  SizeFormatImpl& Size();
  DateFormatICU& DateTime();
  ErrorFormatImpl& Errors();
  SubformatSimple& Simple();

 private:
  MessageFormatImpl& owner_;
  NumberFormatHEX hex_{16};
  NumberFormatHEX decimal_{10};
  std::unique_ptr<NumberFormatICU> locale_;
  std::unique_ptr<SizeFormatImpl> size_;
  std::unique_ptr<DateFormatICU> dateTime_;
  std::unique_ptr<ErrorFormatImpl> errors_;
  std::unique_ptr<SubformatSimple> simple_;
};

class SubformatBase {
 public:
  // Appends the argument; returns the number of characters appended.
  virtual size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) = 0;
  virtual ~SubformatBase() = default;
};

// A number for the numeric subformats: numeric tags as they are, texts when
// they read as numbers (trace and error arguments arrive as texts).
std::optional<Variant> NumericArgument(const Variant& argument);

class SubformatSimple final : public SubformatBase {
 public:
  explicit SubformatSimple(FormatResources& resources) : resources_(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;
  // The plain text of a value (what "{0}" shows).
  void Append(const Variant& argument, std::u16string& output);

 private:
  FormatResources& resources_;
};

class SubformatNumber final : public SubformatBase {
 public:
  explicit SubformatNumber(FormatResources& resources) : resources_(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;

 private:
  FormatResources& resources_;
  std::u16string patternText_;
  std::unique_ptr<NumberFormatICU> pattern_;
};

class SubformatDate final : public SubformatBase {
 public:
  SubformatDate(FormatResources& resources, DateFormat::Kind kind) : resources_(resources), kind_(kind) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;

 private:
  FormatResources& resources_;
  DateFormat::Kind kind_;
  std::unique_ptr<DateFormatICU> format_;
};

// One entry of a choice style: limit, relations, text.
struct ChoiceEntry {
  double limit = 0;
  bool equal = false;    // "#" or U+2264
  bool greater = false;  // "<": the argument is above the limit
  bool less = false;     // ">": the argument is below the limit
  std::u16string text;   // without quote characters
};

// Splits a choice style into its entries ("limit relations text|..."); the
// limit reader turns a trimmed limit into a number or refuses it.
std::vector<ChoiceEntry> ParseChoiceEntries(std::u16string_view style,
                                            const std::function<bool(std::u16string_view, double&)>& readLimit);
// Reads a plain decimal integer limit ("-12"); false for anything else.
bool ParsePlainInteger(std::u16string_view text, double& value);

class SubformatChoice : public SubformatBase {
 public:
  explicit SubformatChoice(FormatResources& resources) : resources_(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;
  // Whether the entry holds for the argument; appends its text when it does.
  virtual bool Matches(const Variant& argument, std::u16string& output, const ChoiceEntry& entry);

  // Entries whose limit does not read as a number are left out.
  std::vector<ChoiceEntry> ParseEntries(std::u16string_view style);
  // The value compared with the limits.
  static double ArgumentValue(const Variant& argument);

 protected:
  FormatResources& resources_;
};

class SubformatConcord final : public SubformatChoice {
 public:
  explicit SubformatConcord(FormatResources& resources) : SubformatChoice(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;
  bool Matches(const Variant& argument, std::u16string& output, const ChoiceEntry& entry) override;

  // The form of a value under a plural rule: rule 0 has three forms, any
  // other rule two.
  static int PluralForm(double value, int rule);
  // Replaces the rule of the message table (null: use the table again).
  void SetRule(std::optional<int> rule) { ruleOverride_ = rule; }
  int Rule() const;

 private:
  std::optional<int> ruleOverride_;
  std::u16string fallback_;  // text of the last entry
};

class SubformatError final : public SubformatBase {
 public:
  explicit SubformatError(FormatResources& resources) : resources_(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;

 private:
  FormatResources& resources_;
};

class SubformatSize final : public SubformatBase {
 public:
  explicit SubformatSize(FormatResources& resources) : resources_(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;

 private:
  FormatResources& resources_;
};

class SubformatEllipsis : public SubformatBase {
 public:
  explicit SubformatEllipsis(FormatResources& resources, int iteratorKind = BreakIterator::kWord)
      : resources_(resources), iteratorKind_(iteratorKind) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;

 protected:
  // The shortened text, at most limit characters.
  virtual std::u16string Shorten(const std::u16string& text, size_t limit);
  BreakIterator* Iterator();

  FormatResources& resources_;

 private:
  int iteratorKind_;
  std::unique_ptr<BreakIterator> iterator_;
};

class SubformatPathEllipsis final : public SubformatEllipsis {
 public:
  explicit SubformatPathEllipsis(FormatResources& resources) : SubformatEllipsis(resources, BreakIterator::kPath) {}

 protected:
  std::u16string Shorten(const std::u16string& text, size_t limit) override;
};

class SubformatTimeSpan final : public SubformatBase {
 public:
  explicit SubformatTimeSpan(FormatResources& resources) : resources_(resources) {}
  size_t Format(const Variant& argument, std::u16string& output, const Segments& segments) override;

 private:
  FormatResources& resources_;
  TimeSpanFormat format_;
};

}  // namespace Processor
