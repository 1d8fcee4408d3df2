// The placeholder syntax shared by the message formatters:
//   literal text {argument,keyword,style,parameter} literal text
// U+F800 toggles quoting ("{", "}" and "," are then plain characters); a "{"
// inside a placeholder starts a nested placeholder whose result joins the
// current segment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Processor {

inline constexpr char16_t kFormatQuote = u'\xF800';

enum Segment {
  SEGMENT_TEXT = 0,
  SEGMENT_ARGUMENT = 1,
  SEGMENT_KEYWORD = 2,
  SEGMENT_STYLE = 3,
  SEGMENT_PARAMETER = 4,
  SEGMENT_COUNT = 5,
};
using Segments = std::array<std::u16string, SEGMENT_COUNT>;

// Nesting deeper than this is kept as plain text, so that no pattern can
// exhaust the stack.
inline constexpr int kMaxPatternNesting = 16;

// Expansion stops once the text has this many characters: arguments that
// hold patterns themselves (error messages) could otherwise multiply.
inline constexpr size_t kMaxPatternOutput = size_t{1} << 20;

class PlaceholderFormatter {
 public:
  virtual ~PlaceholderFormatter() = default;
  // Appends one complete placeholder; raw is its text in the pattern.
  virtual void FormatPlaceholder(const Segments& segments, std::u16string_view raw, std::u16string& out) = 0;
};

// Expands a whole pattern into out. An unterminated placeholder is copied
// as it stands.
void ExpandPattern(std::u16string_view pattern, PlaceholderFormatter& formatter, std::u16string& out);

std::u16string TrimText(std::u16string_view text);
// The segment without quote characters, trimmed.
std::u16string Unquote(std::u16string_view segment);
// A plain decimal index (at most 9 digits, blanks around allowed).
bool ParseIndex(std::u16string_view text, size_t& index);
// Digits alone in radix 10 or 16 (either case); nothing for an empty text,
// any other character or a value beyond 64 bits.
std::optional<uint64_t> ParseDigits(std::u16string_view digits, unsigned radix);

}  // namespace Processor
