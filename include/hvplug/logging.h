// The agent's logging library: the tracer that trace lines end up in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hvplug/error.h"
#include "hvplug/host_api.h"

namespace Logging {

class Tracer {
 public:
  virtual ~Tracer() = default;
  virtual void TraceEvent(int level, uint32_t facility, uint32_t number, const char16_t* text,
                          uintptr_t context) = 0;
  virtual void TraceArgs(int level, uint32_t facility, uint32_t number, const char16_t* pattern,
                         const std::vector<std::u16string>& args, uintptr_t context) = 0;
  virtual void TraceError(int level, const Common::Error& error, uintptr_t context) = 0;
  // A caught error passed on under a line tag (see Logging_BuildLineTag).
  virtual void TraceTaggedError(const std::string& tag, const Common::Error& error) = 0;
};

}  // namespace Logging

// The process-wide tracer. It writes timestamped lines to standard error, or
// to the file that HVHOST_TRACE_FILE names.
HVHOST_API Logging::Tracer* Logging_GetTracer();
HVHOST_API void Logging_BuildLineTag(std::string& tag, const char* source, const char* function, unsigned line);
