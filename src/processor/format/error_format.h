// Common::Error as text for people.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "hvplug/error.h"
#include "processor/utils/variant.h"

namespace Processor {

class MessageFormat;

class ErrorFormat {
 public:
  virtual ~ErrorFormat() = default;
  // The whole chain, one record after the other.
  virtual std::u16string Format(const Common::Error& error) = 0;
};

class ErrorFormatImpl final : public ErrorFormat {
 public:
  // Causes beyond this many records are left out.
  static constexpr int kMaxRecords = 32;

  explicit ErrorFormatImpl(MessageFormat& formatter) : formatter_(formatter) {}

  std::u16string Format(const Common::Error& error) override;
  // The first record: its message, then "\n    name = value" per argument,
  // then "\n    function : source(line)".
  std::u16string FormatRecord(const Common::Error& error);
  // The message of the first record with its arguments filled in.
  std::u16string Message(const Common::Error& error);

  // The record's arguments in list order, "$module" left out.
  static std::vector<std::pair<std::string, Variant>> Arguments(const Common::Error& error);
  // One argument by name; empty when the record has no such argument.
  static Variant Argument(const Common::Error& error, std::string_view name);

 private:
  MessageFormat& formatter_;
};

}  // namespace Processor
