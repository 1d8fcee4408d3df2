#include "agent_error.h"

#include <cstdio>

namespace Hvagent {

namespace {

Common::Error Make(uint32_t code, const std::string& message) {
  std::u16string text = Common::Utf8ToUtf16(message);
  return Common::MakeError(code, text.c_str(), HV_SITE("hvagent"));
}

}  // namespace

void Fail(uint32_t code, const std::string& message, int errnum) {
  Common::Error error = Make(code, message);
  if (errnum) Common::AddPosixError(error, errnum);
  Common::Throw(error);
}

void Check(const Common::Error& error, const std::string& message) {
  if (!error.IsFailure()) return;
  if (message.empty()) Common::Throw(error);
  Common::Throw(Common::Wrap(Make(kFailed, message), error));
}

std::string DescribeChain(const Common::Error& error) {
  std::string out;
  for (Common::Error e = error; e.IsFailure(); e = e.Cause()) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%06X ", e.Code());
    out += code + Common::Utf16ToUtf8(Common::FormatErrorMessage(e)) + "\n";
  }
  return out;
}

}  // namespace Hvagent
