// Message patterns filled from variant arguments:
//   "Failed to open '{0}'{1,choice,0< on {1}}."
// Keywords: number, date, time, date_time, choice, concord, error, size,
// ellipsis, path_ellipsis, time_span; no keyword shows the plain value.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "processor/format/pattern.h"
#include "processor/utils/variant.h"

namespace Processor {

class SubformatBase;
class SubformatSimple;
class SubformatConcord;
class FormatResources;

class MessageFormat {
 public:
  virtual ~MessageFormat() = default;
  virtual std::u16string Format(std::u16string_view pattern, const Variant* arguments, size_t count) = 0;
  // Writes the text into output (terminated when there is room) and returns
  // its full length.
  virtual size_t Format(char16_t* output, size_t capacity, const char16_t* pattern, size_t patternLength,
                        const Variant* arguments, size_t count) = 0;
};

class MessageFormatImpl final : public MessageFormat, private PlaceholderFormatter {
 public:
  MessageFormatImpl();
  ~MessageFormatImpl() override;
  MessageFormatImpl(const MessageFormatImpl&) = delete;
  MessageFormatImpl& operator=(const MessageFormatImpl&) = delete;

  using MessageFormat::Format;
  std::u16string Format(std::u16string_view pattern, const Variant* arguments, size_t count) override;
  size_t Format(char16_t* output, size_t capacity, const char16_t* pattern, size_t patternLength,
                const Variant* arguments, size_t count) override;
  std::u16string Format(std::u16string_view pattern, std::initializer_list<Variant> arguments) {
    return Format(pattern, arguments.begin(), arguments.size());
  }
  std::u16string Format(std::u16string_view pattern, std::span<const Variant> arguments) {
    return Format(pattern, arguments.data(), arguments.size());
  }

  // Overrides the plural rule of the active message table (null: the table's).
  void SetPluralRule(std::optional<int> rule);
  FormatResources& Resources() { return *resources_; }

 private:
  void FormatPlaceholder(const Segments& segments, std::u16string_view raw, std::u16string& out) override;

  std::unique_ptr<FormatResources> resources_;
  std::map<std::u16string, std::unique_ptr<SubformatBase>, std::less<>> registry_;
  std::unique_ptr<SubformatSimple> simple_;
  SubformatConcord* concord_ = nullptr;
  // The arguments of the pattern being expanded (nested calls save them).
  const Variant* arguments_ = nullptr;
  size_t count_ = 0;
  int depth_ = 0;
};

// Formats with a pooled MessageFormatImpl, so that the ICU formatters are
// made once and not for every line; safe from any thread.
std::u16string FormatMessage(std::u16string_view pattern, std::span<const Variant> arguments);
// The message of an error's first record with its arguments filled in.
std::u16string FormatErrorText(const Common::Error& error);
// The whole error chain with arguments and source locations.
std::u16string FormatErrorFull(const Common::Error& error);

}  // namespace Processor
