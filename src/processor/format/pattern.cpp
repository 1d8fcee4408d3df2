#include "processor/format/pattern.h"

namespace Processor {

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Appends a nested result to a segment. Styles get it quoted, so that a
// value holding "|" or "#" cannot change the entries of a choice.
void AppendNested(std::u16string& segment, int index, const std::u16string& text) {
  if (index >= SEGMENT_STYLE && text.find(kFormatQuote) == std::u16string::npos) {
    segment += kFormatQuote;
    segment += text;
    segment += kFormatQuote;
  } else {
    segment += text;
  }
}

// Reads the placeholder whose "{" is at pattern[start]; at returns past its
// "}". False when the pattern ends first. Without format the placeholder is
// only skipped over (its segment would be too long already).
bool ReadPlaceholder(std::u16string_view pattern, size_t start, size_t& at, int depth, PlaceholderFormatter& formatter,
                     std::u16string& result, bool format = true) {
  Segments segments;
  int index = SEGMENT_ARGUMENT;
  bool quoting = false;
  at = start + 1;
  while (at < pattern.size()) {
    const char16_t c = pattern[at++];
    if (c == kFormatQuote) {
      quoting = !quoting;
      segments[index] += c;  // subformats see the quoting
      continue;
    }
    if (quoting) {
      segments[index] += c;
      continue;
    }
    if (c == u',') {
      if (index < SEGMENT_PARAMETER) ++index;
      continue;
    }
    if (c == u'}') {
      if (format) formatter.FormatPlaceholder(segments, pattern.substr(start, at - start), result);
      return true;
    }
    if (c == u'{' && depth < kMaxPatternNesting) {
      std::u16string nested;
      size_t end = 0;
      const bool room = format && segments[index].size() < kMaxPatternOutput;
      if (!ReadPlaceholder(pattern, at - 1, end, depth + 1, formatter, nested, room)) return false;
      if (room) AppendNested(segments[index], index, nested);
      at = end;
      continue;
    }
    segments[index] += c;
  }
  return false;
}

}  // namespace

void ExpandPattern(std::u16string_view pattern, PlaceholderFormatter& formatter, std::u16string& out) {
  bool quoting = false;
  for (size_t i = 0; i < pattern.size();) {
    const char16_t c = pattern[i];
    if (c == kFormatQuote) {
      quoting = !quoting;
      ++i;
      continue;
    }
    if (quoting || c != u'{') {
      out += c;
      ++i;
      continue;
    }
    if (out.size() >= kMaxPatternOutput) return;  // enough: the rest is dropped
    size_t end = 0;
    std::u16string text;
    if (!ReadPlaceholder(pattern, i, end, 1, formatter, text)) {
      // Unterminated: the rest stands as written, quote characters aside.
      for (size_t k = i; k < pattern.size(); ++k)
        if (pattern[k] != kFormatQuote) out += pattern[k];
      return;
    }
    out += text;
    i = end;
  }
}

std::u16string TrimText(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::u16string(text);
}

std::u16string Unquote(std::u16string_view segment) {
  std::u16string out;
  out.reserve(segment.size());
  for (char16_t c : segment)
    if (c != kFormatQuote) out += c;
  return TrimText(out);
}

bool ParseIndex(std::u16string_view text, size_t& index) {
  const std::u16string trimmed = Unquote(text);
  if (trimmed.empty() || trimmed.size() > 9) return false;
  size_t value = 0;
  for (char16_t c : trimmed) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
  }
  index = value;
  return true;
}

std::optional<uint64_t> ParseDigits(std::u16string_view digits, unsigned radix) {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char16_t c : digits) {
    unsigned digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (radix == 16 && c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else if (radix == 16 && c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else
      return std::nullopt;
    if (value > (UINT64_MAX - digit) / radix) return std::nullopt;
    value = value * radix + digit;
  }
  return value;
}

}  // namespace Processor
