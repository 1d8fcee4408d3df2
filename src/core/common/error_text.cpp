// Text helpers around errors: UTF conversions, interned texts, and the
// rendering of an error chain for people.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/common/error.h"
#include "core/common/trace.h"
#include "processor/format/message_format.h"

namespace Common {

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// Malformed and over-long sequences become U+FFFD and make the text unclean.
std::u16string Utf8ToUtf16(std::string_view text, bool* clean) {
  std::u16string out;
  out.reserve(text.size());
  bool ok = true;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    int extra;
    uint32_t cp;
    uint32_t minimum;
    if (c < 0x80) { out += c; ++i; continue; }
    if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; minimum = 0x80; }
    else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; minimum = 0x800; }
    else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; minimum = 0x10000; }
    else { out += u'\xFFFD'; ok = false; ++i; continue; }
    int k = 1;
    for (; k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) break;
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (k <= extra || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      out += u'\xFFFD';
      ok = false;
      i += k;
      continue;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  if (clean) *clean = ok;
  return out;
}

const char* InternText(std::string_view text) {
  static std::mutex mutex;
  static std::set<std::string, std::less<>> texts;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = texts.find(text);
  if (it == texts.end()) it = texts.emplace(text).first;
  return it->c_str();
}

std::u16string FormatErrorMessage(const Error& error) { return Processor::FormatErrorText(error); }

std::string DescribeErrorChain(const Error& error) {
  std::string out;
  for (Error e = error; e.IsFailure(); e = e.Cause()) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", e.Code());
    if (!out.empty()) out += "\n";
    out += code;
    out += " ";
    out += Utf16ToUtf8(FormatErrorMessage(e));
  }
  return out;
}

}  // namespace Common
