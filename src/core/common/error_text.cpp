// Text helpers around errors: interned texts and the rendering of an error
// chain for people.
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
