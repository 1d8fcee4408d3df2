// UTF-8 and UTF-16 conversion for the whole library, built on ICU's code
// point macros. The layers differ only in what they make of text that is not
// well formed, and each difference is an option here:
//
//   Common::Utf8ToUtf16(bytes)                                 messages, arguments
//   Common::AppendUtf8(name, out, LoneSurrogate::kQuestionMark)    file names
//   Common::AppendUtf8(value, out, LoneSurrogate::kKeep)           XML documents
//
// This file includes no generated header: the message generator builds it too.
#pragma once

#include <string>
#include <string_view>

namespace Common {

// What becomes of a UTF-16 code unit that is half of no surrogate pair.
enum class LoneSurrogate {
  kReplace,       // U+FFFD
  kQuestionMark,  // '?': a file name must not gain a character that looks real
  kKeep,          // the three-byte form of the code unit itself, so that the
                  // UTF-16 value survives a trip through UTF-8 unchanged
};

// What becomes of the three-byte form of a surrogate (ED A0..BF xx).
enum class EncodedSurrogate {
  kMalformed,  // U+FFFD, as the UTF-8 standard has it
  kKeep,       // the code unit: reads back what LoneSurrogate::kKeep wrote
};

void AppendUtf8(std::u16string_view text, std::string& out, LoneSurrogate lone = LoneSurrogate::kReplace);

// A malformed sequence (a bad lead byte, or a lead byte with the continuation
// bytes of it that follow, when they are too few, over-long, beyond U+10FFFF
// or a surrogate) becomes one U+FFFD. Returns whether the text was well formed.
bool AppendUtf16(std::string_view text, std::u16string& out,
                 EncodedSurrogate surrogates = EncodedSurrogate::kMalformed);

// Any value up to U+10FFFF; a surrogate is written in its three-byte form.
void AppendCodePointUtf8(char32_t codePoint, std::string& out);
// Code points above U+FFFF become a surrogate pair.
void AppendCodePointUtf16(char32_t codePoint, std::u16string& out);

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text, bool* clean = nullptr);

}  // namespace Common
