// Trace dispatcher: sinks, callbacks and the process-wide threshold.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error.h"

namespace Common {

// A trace sink. Registers itself on construction and unregisters on
// destruction. The operations without context pass on with context 0.
class TraceLogic {
 public:
  TraceLogic();
  TraceLogic(const TraceLogic&) = delete;
  TraceLogic& operator=(const TraceLogic&) = delete;
  virtual ~TraceLogic();

  virtual void TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text);
  virtual void TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text,
                          uintptr_t context) = 0;
  virtual void TraceArgs(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
                         const std::vector<std::u16string>& args);
  virtual void TraceArgs(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
                         const std::vector<std::u16string>& args, uintptr_t context) = 0;
  virtual void TraceError(int level, const Error& error);
  virtual void TraceError(int level, const Error& error, uintptr_t context) = 0;
  // Whether the sink takes every event regardless of the threshold.
  virtual bool WantsAll() const { return false; }
};

// A callback record; functions that are null are skipped.
struct TraceCallback {
  void (*event)(int level, uint32_t facility, uint32_t number, const char16_t* text) = nullptr;
  void (*eventWithContext)(void* context, int level, uint32_t facility, uint32_t number,
                           const char16_t* text) = nullptr;
  void (*error)(void* context, int level, const Error& error) = nullptr;
  void* context = nullptr;
};
void RegisterTraceCallback(const TraceCallback& callback);
void UnregisterTraceCallback(const TraceCallback& callback);

inline constexpr int kDefaultTraceThreshold = 2;
int GetTraceThreshold();
void SetTraceThreshold(int threshold);

// Formats the pattern with its arguments and dispatches it.
void Trace(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
           std::initializer_list<std::u16string_view> args = {});
void Trace(int level, uint32_t facility, uint32_t number, MessageId message,
           std::initializer_list<std::u16string_view> args = {});
void TraceError(int level, const Error& error);

// Fills "{n}" placeholders of a pattern with the n-th argument.
std::u16string FormatPattern(std::u16string_view pattern, const std::vector<std::u16string>& args);

}  // namespace Common
