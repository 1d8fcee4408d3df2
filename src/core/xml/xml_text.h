// Text conversions of the XML layer. Unlike the general converters, these
// carry unpaired surrogates through UTF-8 (as the three-byte form of their
// code unit: LoneSurrogate::kKeep and EncodedSurrogate::kKeep), so that a
// UTF-16 value survives any trip through a document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/utf.h"

namespace Xml {

void AppendUtf16(std::string_view utf8, std::u16string& out);
void AppendUtf8(std::u16string_view utf16, std::string& out);
// Code points above U+FFFF become a surrogate pair.
inline void AppendCodePoint(uint32_t codePoint, std::u16string& out) { Common::AppendCodePointUtf16(codePoint, out); }

inline std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  AppendUtf16(utf8, out);
  return out;
}
inline std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  AppendUtf8(utf16, out);
  return out;
}

// Name characters of the text format: letters, '_' and ':' first, then also
// digits, '-' and '.'; every byte of a multi-byte UTF-8 character counts.
bool IsNameStart(unsigned char c);
bool IsNameChar(unsigned char c);
bool IsValidName(std::string_view name);

}  // namespace Xml
