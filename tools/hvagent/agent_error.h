// Errors of the agent itself travel as Common::Error records like the
// plug-in's, so one printer shows both chains.
#pragma once

#include <string>

#include "core/common/error.h"

namespace Hvagent {

// The agent's own codes (facility 0xA7).
enum Code : uint32_t {
  kFailed = 0xA70001,
  kRepositoryDamaged = 0xA70002,
  kChecksumMismatch = 0xA70003,
  kPointMissing = 0xA70004,
  kIoFailed = 0xA70005,
  kPluginMissing = 0xA70006,
};

[[noreturn]] void Fail(uint32_t code, const std::string& message, int errnum = 0);
// Throws error wrapped under the agent's message when it is a failure.
void Check(const Common::Error& error, const std::string& message = {});
// One "0xCODE message" line per record of the chain.
std::string DescribeChain(const Common::Error& error);

// A bad command line: exit status 2.
struct UsageError {
  std::string message;
};

}  // namespace Hvagent
