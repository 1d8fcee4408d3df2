// Stand-in for the agent's logging library: one tracer that writes
// timestamped lines "time level facility number text" to standard error or to
// the file named by HVHOST_TRACE_FILE.
#include "hvplug/logging.h"

#include "core/common/error.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace {

std::string ToUtf8(const std::u16string& text) { return Common::Utf16ToUtf8(text); }

class StandInTracer final : public Logging::Tracer {
 public:
  void TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text, uintptr_t) override {
    Write(level, facility, number, ToUtf8(text ? text : u""));
  }
  void TraceArgs(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
                 const std::vector<std::u16string>& args, uintptr_t) override {
    std::string line = ToUtf8(pattern ? pattern : u"");
    for (const auto& arg : args) line += " [" + ToUtf8(arg) + "]";
    Write(level, facility, number, line);
  }
  void TraceError(int level, const Common::Error& error, uintptr_t) override {
    Write(level, error.Code() >> 16, error.Code() & 0xFFFF, Describe(error));
  }
  void TraceTaggedError(const std::string& tag, const Common::Error& error) override {
    Write(2, error.Code() >> 16, error.Code() & 0xFFFF, tag + " " + Describe(error));
  }

 private:
  static std::string Describe(const Common::Error& error) {
    std::string text;
    for (Common::Error e = error; e.IsFailure(); e = e.Cause()) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%X", e.Code());
      text += (text.empty() ? "" : " <- ") + std::string(code) + " " + ToUtf8(e.Message());
    }
    return text;
  }

  void Write(int level, uint32_t facility, uint32_t number, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    FILE* out = stderr;
    const char* path = std::getenv("HVHOST_TRACE_FILE");
    FILE* file = path && *path ? std::fopen(path, "a") : nullptr;
    if (file) out = file;
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(out, "%s.%03ld [%d] %04X:%04X %s\n", stamp, static_cast<long>(now.tv_usec / 1000), level,
                 facility, number, text.c_str());
    if (file) std::fclose(file);
  }

  std::mutex mutex_;
};

}  // namespace

Logging::Tracer* Logging_GetTracer() {
  static StandInTracer* tracer = new StandInTracer();
  return tracer;
}

void Logging_BuildLineTag(std::string& tag, const char* source, const char* function, unsigned line) {
  tag = std::string(source ? source : "") + ":" + std::to_string(line) + " " + (function ? function : "");
}
