// Shortened texts and paths, and errors.
#include <unicode/utf16.h>

#include <algorithm>

#include "core/common/assert.h"
#include "processor/format/error_format.h"
#include "processor/format/subformat.h"

namespace Processor {

namespace {

constexpr std::u16string_view kEllipsis = u"...";

// A cut position moved off the middle of a surrogate pair.
size_t SafeCut(const std::u16string& text, size_t at) {
  if (at > 0 && at < text.size() && U16_IS_TRAIL(text[at]) && U16_IS_LEAD(text[at - 1])) --at;
  return at;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\xA0'; }

}  // namespace

// ---- ellipsis ----------------------------------------------------------------------------------

BreakIterator* SubformatEllipsis::Iterator() {
  if (!iterator_) iterator_ = CreateBreakIterator(iteratorKind_);
  return iterator_.get();
}

std::u16string SubformatEllipsis::Shorten(const std::u16string& text, size_t limit) {
  const size_t room = limit - kEllipsis.size();
  size_t cut = 0;
  if (BreakIterator* iterator = Iterator()) {
    iterator->SetText(text);
    for (int32_t boundary = iterator->First(); boundary != Iterator::kDone; boundary = iterator->Next()) {
      if (static_cast<size_t>(boundary) > room) break;
      cut = std::max(cut, static_cast<size_t>(boundary));
    }
  }
  if (cut == 0) cut = SafeCut(text, room);
  // Blanks before the ellipsis only take room.
  size_t end = cut;
  while (end > 0 && IsBlank(text[end - 1])) --end;
  if (end > 0) cut = end;
  std::u16string out = text.substr(0, cut);
  out += kEllipsis;
  return out;
}

size_t SubformatEllipsis::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  size_t limit = 0;
  if (!ParseIndex(segments[SEGMENT_STYLE], limit)) limit = 0;
  std::u16string text;
  resources_.Simple().Append(argument, text);
  if (limit < 4 || text.size() <= limit)
    output += text;
  else
    output += Shorten(text, limit);
  return output.size() - before;
}

// ---- path ellipsis ---------------------------------------------------------------------------------

// Keeps the first component (the root of an absolute path), then as many
// trailing components as fit, then more leading ones:
// "/home/user/a/b/c/file.txt" with 19 -> "/.../a/b/c/file.txt".
std::u16string SubformatPathEllipsis::Shorten(const std::u16string& text, size_t limit) {
  static constexpr std::u16string_view kGap = u".../";
  std::vector<size_t> starts;  // where each component begins
  if (BreakIterator* iterator = Iterator()) {
    iterator->SetText(text);
    for (int32_t boundary = iterator->First(); boundary != Iterator::kDone; boundary = iterator->Next())
      if (static_cast<size_t>(boundary) < text.size()) starts.push_back(static_cast<size_t>(boundary));
  }
  auto fits = [&](size_t headEnd, size_t tailStart) {
    return headEnd < tailStart && headEnd + kGap.size() + (text.size() - tailStart) <= limit;
  };
  if (starts.size() < 2 || !fits(0, starts.back())) {
    // Not even the last component fits: keep the end of the text.
    size_t from = text.size() - (limit - kEllipsis.size());
    if (SafeCut(text, from) != from) ++from;  // never start inside a surrogate pair
    return std::u16string(kEllipsis) + text.substr(from);
  }
  size_t head = 0;
  size_t tail = starts.size() - 1;  // index into starts
  if (fits(starts[1], starts[tail])) head = 1;
  while (tail > 1 && fits(starts[head], starts[tail - 1])) --tail;
  while (head + 1 < tail && fits(starts[head + 1], starts[tail])) ++head;
  std::u16string out = text.substr(0, starts[head]);
  out += kGap;
  out += text.substr(starts[tail]);
  return out;
}

// ---- errors -------------------------------------------------------------------------------------------

size_t SubformatError::Format(const Variant& argument, std::u16string& output, const Segments& segments) {
  const size_t before = output.size();
  if (argument.GetType() != Variant::TError) {
    HV_ASSERT_TEXT("a->GetType() == Variant::TError");
    resources_.Simple().Append(argument, output);
    return output.size() - before;
  }
  const Common::Error error = argument.GetError();
  const std::u16string style = Unquote(segments[SEGMENT_STYLE]);
  if (style == u"code" || style == u"tag") {
    output += u"0x";
    resources_.Hex().FormatUnsigned(style == u"code" ? error.Code() : error.SiteValue(), output);
  } else if (style == u"message") {
    output += resources_.Errors().Message(error);
  } else if (style == u"field") {
    const std::string name = Common::Utf16ToUtf8(Unquote(segments[SEGMENT_PARAMETER]));
    const Variant value = ErrorFormatImpl::Argument(error, name);
    if (!value.IsEmpty()) resources_.Simple().Append(value, output);
  } else {
    output += resources_.Errors().Format(error);
  }
  return output.size() - before;
}

}  // namespace Processor
