// The hvagent commands. Each returns the exit status and throws
// Common::Error on failure or UsageError on bad usage.
#pragma once

#include <string>

#include "options.h"

namespace Hvagent {

struct Context {
  std::string program;  // argv[0], to find the plug-in beside it
};

int RunCreateVm(const Context& context, const CommandLine& line);
int RunInfo(const Context& context, const CommandLine& line);
int RunSet(const Context& context, const CommandLine& line);
int RunAddDisk(const Context& context, const CommandLine& line);
int RunAttachDisk(const Context& context, const CommandLine& line);
int RunRemoveDisk(const Context& context, const CommandLine& line);
int RunRemoveVm(const Context& context, const CommandLine& line);
int RunBackup(const Context& context, const CommandLine& line);
int RunPoints(const Context& context, const CommandLine& line);
int RunRestore(const Context& context, const CommandLine& line);
int RunVerify(const Context& context, const CommandLine& line);

}  // namespace Hvagent
