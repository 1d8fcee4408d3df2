#include "core/common/utf.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace Common {

namespace {

// How many bytes one U+FFFD replaces: the lead byte and as many of the
// continuation bytes its bit pattern announces as actually follow. Over-long
// forms and the leads C0, C1 and F5..F7, which ICU treats byte by byte, are
// kept whole so that one bad character gives one replacement.
size_t MalformedLength(const uint8_t* s, size_t available) {
  const uint8_t lead = s[0];
  const size_t announced = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
  size_t length = 1;
  while (length <= announced && length < available && U8_IS_TRAIL(s[length])) ++length;
  return length;
}

}  // namespace

void AppendCodePointUtf8(char32_t codePoint, std::string& out) {
  char bytes[U8_MAX_LENGTH];
  size_t length = 0;
  U8_APPEND_UNSAFE(bytes, length, codePoint);
  out.append(bytes, length);
}

void AppendCodePointUtf16(char32_t codePoint, std::u16string& out) {
  if (U_IS_BMP(codePoint)) {
    out += static_cast<char16_t>(codePoint);
  } else {
    out += U16_LEAD(codePoint);
    out += U16_TRAIL(codePoint);
  }
}

void AppendUtf8(std::u16string_view text, std::string& out, LoneSurrogate lone) {
  out.reserve(out.size() + text.size());
  for (size_t i = 0; i < text.size();) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (U_IS_SURROGATE(c) && lone != LoneSurrogate::kKeep) c = lone == LoneSurrogate::kReplace ? 0xFFFD : '?';
    AppendCodePointUtf8(static_cast<char32_t>(c), out);
  }
}

bool AppendUtf16(std::string_view text, std::u16string& out, EncodedSurrogate surrogates) {
  out.reserve(out.size() + text.size());
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  bool wellFormed = true;
  for (size_t i = 0; i < size;) {
    const size_t start = i;
    UChar32 c;
    U8_NEXT(s, i, size, c);
    if (c < 0) {
      i = start + MalformedLength(s + start, size - start);
      // A lead ED with two continuation bytes fails only as a surrogate.
      if (surrogates == EncodedSurrogate::kKeep && s[start] == 0xED && i - start == 3) {
        size_t at = start;
        U8_NEXT_UNSAFE(s, at, c);
      } else {
        c = 0xFFFD;
        wellFormed = false;
      }
    }
    AppendCodePointUtf16(static_cast<char32_t>(c), out);
  }
  return wellFormed;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  AppendUtf8(text, out);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text, bool* clean) {
  std::u16string out;
  const bool wellFormed = AppendUtf16(text, out);
  if (clean) *clean = wellFormed;
  return out;
}

}  // namespace Common
