#include "core/common/assert.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/common/module.h"
#include "core/common/trace.h"
#include "core/common/unix/safe_close.h"

namespace Common {

namespace {

struct AssertSettings {
  long flags = kAssertDefault;  // -1: handling switched off
  FILE* log = stderr;           // null: nothing is logged
  bool ownsLog = false;
};

AssertSettings gSettingsStorage;
AssertSettings* gSettings = nullptr;

void CloseAssertLog() {
  if (gSettings && gSettings->ownsLog && gSettings->log) {
    SafeFclose(gSettings->log);
    gSettings->log = nullptr;
  }
}

const AssertSettings& Settings() {
  static std::once_flag once;
  std::call_once(once, [] {
    auto* settings = &gSettingsStorage;
    settings->flags = ParseAssertSettings(std::getenv("QUILLON_SAFE_ASSERT"));
    if (settings->flags > 0 && (settings->flags & kAssertLog)) {
      const char* target = std::getenv("QUILLON_SAFE_ASSERT_LOGFILE");
      if (target && *target) {
        if (std::strcmp(target, "stdout") == 0) {
          settings->log = stdout;
        } else if (std::strcmp(target, "stderr") == 0) {
          settings->log = stderr;
        } else {
          settings->log = std::fopen(target, "a");
          settings->ownsLog = settings->log != nullptr;
          if (settings->ownsLog) RegisterUnloadAction(CloseAssertLog);
        }
      }
    }
    gSettings = settings;
  });
  return *gSettings;
}

bool DebuggerAttached() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return false;
  char line[256];
  bool attached = false;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      attached = std::strtol(line + 10, nullptr, 10) != 0;
      break;
    }
  }
  std::fclose(status);
  return attached;
}

std::string Demangle(const std::string& symbol) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !demangled) return symbol;
  std::string result = demangled;
  std::free(demangled);
  return result;
}

// One backtrace line: "module(symbol+offset) [address]".
std::string FormatFrame(const char* line) {
  char out[1024];
  const char* open = std::strchr(line, '(');
  const char* close = open ? std::strchr(open, ')') : nullptr;
  if (!open || !close) {
    std::snprintf(out, sizeof out, "%-40s", line);
    return out;
  }
  const std::string module(line, open);
  const char* plus = std::strchr(open, '+');
  if (plus && plus > close) plus = nullptr;
  const std::string symbol = Demangle(std::string(open + 1, plus ? plus : close));
  const std::string rest = close + 1;
  if (plus) {
    const std::string offset(plus + 1, close);
    std::snprintf(out, sizeof out, "%-30s ( %-40s  + %-6s) %s", module.c_str(), symbol.c_str(), offset.c_str(),
                  rest.c_str());
  } else {
    std::snprintf(out, sizeof out, "%-30s ( %-40s    %-6s) %s", module.c_str(), symbol.c_str(), "", rest.c_str());
  }
  return out;
}

void SendEvent(const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  Trace(5, 0, 27, wide.c_str());
}

}  // namespace

long ParseAssertSettings(const char* value) {
  if (!value || !*value) return kAssertDefault;
  std::string text = value;
  // A "0x" anywhere makes the hexadecimal number start after it.
  const char* digits = value;
  if (const char* prefix = std::strstr(value, "0x")) digits = prefix + 2;
  else if (const char* upper = std::strstr(value, "0X")) digits = upper + 2;
  if (*digits) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(digits, &end, 16);
    if (end && *end == 0 && number != 0 && digits[0] != '-' && digits[0] != '+' && digits[0] != ' ')
      return static_cast<long>(number);
  }
  text = text.substr(0, 127);
  long flags = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t blank = text.find_first_of(" \t", start);
    const std::string word = text.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    start = blank == std::string::npos ? text.size() : blank + 1;
    if (word.empty()) continue;
    if (word == "break") flags |= kAssertBreak;
    else if (word == "debug") flags |= kAssertDebug;
    else if (word == "log") flags |= kAssertLog;
    else if (word == "event") flags |= kAssertEvent;
    else if (word == "msgbox") flags |= kAssertMsgBox;
    else if (word == "abort") flags |= kAssertAbort;
    else if (word == "stack") flags |= kAssertStack;
    else return -1;
  }
  return flags;
}

void ReportAssertion(const char* expression, const char* source, int line) {
  const AssertSettings& settings = Settings();
  if (settings.flags < 0) return;
  const long flags = settings.flags;
  char text[540];
  std::snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %d", expression ? expression : "",
                source ? source : "", line);
  FILE* log = (flags & kAssertLog) ? settings.log : nullptr;
  if (log) {
    std::fprintf(log, "%s\n", text);
    std::fflush(log);
  }
  if (flags & kAssertEvent) SendEvent(text);
  if ((flags & kAssertStack) && (flags & (kAssertDebug | kAssertLog | kAssertEvent))) {
    void* frames[32];
    const int count = backtrace(frames, 32);
    char** symbols = backtrace_symbols(frames, count);
    std::string gathered;
    for (int i = 2; symbols && i < count; ++i) {
      const std::string frame = FormatFrame(symbols[i]);
      if (log) std::fprintf(log, "%s\n", frame.c_str());
      if (!gathered.empty()) gathered += "\n";
      gathered += frame;
    }
    std::free(symbols);
    if (log) std::fflush(log);
    if ((flags & kAssertEvent) && !gathered.empty()) SendEvent(gathered);
  }
  if (((flags & kAssertMsgBox) && expression) || (flags & kAssertBreak)) {
    if (DebuggerAttached()) raise(SIGTRAP);
    if (flags & kAssertAbort) std::abort();
  } else if (flags & kAssertAbort) {
    std::abort();
  }
}

}  // namespace Common
