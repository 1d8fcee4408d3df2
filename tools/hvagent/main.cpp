// hvagent: backs machines up into a repository and restores them, using the
// plug-in as any agent does. Exit status 0 on success, 1 on failure, 2 on
// bad usage.
#include <csignal>
#include <cstdio>

#include "agent_error.h"
#include "commands.h"

int main(int argc, char** argv) {
  using namespace Hvagent;
  // Past a file size limit a write should fail with EFBIG, not kill us.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  Context context{argv[0]};
  try {
    CommandLine line = ParseCommandLine(args);
    static const std::map<std::string, int (*)(const Context&, const CommandLine&)> kCommands = {
        {"create-vm", RunCreateVm},
        {"info", RunInfo},
        {"set", RunSet},
        {"add-disk", RunAddDisk},
        {"attach-disk", RunAttachDisk},
        {"remove-disk", RunRemoveDisk},
        {"remove-vm", RunRemoveVm},
        {"backup", RunBackup},
        {"points", RunPoints},
        {"restore", RunRestore},
        {"verify", RunVerify},
    };
    return kCommands.at(line.command)(context, line);
  } catch (const UsageError& usage) {
    std::fprintf(stderr, "hvagent: %s\n%s", usage.message.c_str(), UsageText().c_str());
    return 2;
  } catch (const Common::Error& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "hvagent: %s failed:\n%s", args[0].c_str(), DescribeChain(error).c_str());
    return 1;
  }
}
