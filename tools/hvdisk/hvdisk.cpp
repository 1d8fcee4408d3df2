// hvdisk: create, inspect and edit VHDX files.
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "core/common/error.h"
#include "disk_io.h"

namespace Hvdisk {
namespace {

// Adding a command: one cmd_NAME.cpp and one line here.
const Command kCommands[] = {
    {"create", "FILE SIZE [--fixed] [--sector-size 512|4096]",
     "create a new VHDX file of SIZE bytes (suffixes K, M, G, T)",
     "  Dynamic unless --fixed; block size 4 MB, logical sectors of 512 bytes unless --sector-size,\n"
     "  physical sectors of 4096 bytes.\n"
     "  The file must not exist.",
     RunCreate},
    {"info", "FILE [--json]", "show the parameters of a VHDX file (opens it read-only)",
     "  Virtual size, sector sizes, block size, kind, write GUIDs, whether a pending log was\n"
     "  replayed (in memory only), parent locator entries and every metadata item.",
     RunInfo},
    {"meta", "list|get|set|remove FILE ...", "list, read, set or remove user metadata items",
     "  meta list FILE                      user-visible items (read-only)\n"
     "  meta get FILE GUID [--raw]          value in hex, or raw bytes with --raw (read-only)\n"
     "  meta set FILE GUID VALUE [--hex] [--flags=N]\n"
     "                                      VALUE as text, or hex bytes with --hex; flags default 1 (IsUser)\n"
     "  meta remove FILE GUID [--flags=N]   removes the item (flags select user or system item)",
     RunMeta},
    {"read", "FILE OUT [--offset B] [--length B]", "copy virtual disk bytes to OUT (\"-\" for standard output)",
     "  Follows the differencing chain; streams in 4 MiB pieces. Opens read-only.", RunRead},
    {"write", "FILE IN [--offset B]", "store the bytes of IN (\"-\" for standard input) on the virtual disk",
     "  Offset and length must be whole sectors; blocks are allocated as needed.", RunWrite},
    {"changes", "FILE --since ID [--tracker DIR]", "list the sectors changed since a change ID",
     "  One \"start length\" pair of sectors a line. ID \"*\" lists every allocated sector and needs\n"
     "  no tracker. Opens read-only.",
     RunChanges},
    {"track", "FILE --tracker DIR", "let the tracker stand-in in DIR follow FILE and its parents",
     "  Prints a new change ID: a snapshot of every tracked file.", RunTrack},
    {"check", "FILE", "check the structures of FILE and its parents (exit status 1 on any problem)",
     "  Headers, region table, metadata, block placement, parent links and every BAT entry. Opens read-only.",
     RunCheck},
    {"bench", "FILE [-w] [-c COUNT] [-d DEPTH] [-s SIZE] [-S STEP] [-o OFFSET] [--random]",
     "time COUNT requests of SIZE bytes (defaults 75000, 4K), sequential unless --random",
     "  Reads unless -w (only then is the file opened writable). Up to DEPTH (default 64) reads are in\n"
     "  flight, each reader with an opening of its own; writes go one at a time. Prints requests, bytes,\n"
     "  seconds, MB/s.",
     RunBench},
};

void PrintHelp(FILE* out) {
  std::fprintf(out, "usage: hvdisk COMMAND ARGS...\n       hvdisk --help | hvdisk COMMAND --help\n\ncommands:\n");
  for (const Command& command : kCommands) {
    std::fprintf(out, "  %s %s\n      %s\n", command.name, command.usage, command.summary);
    if (*command.details) std::fprintf(out, "%s\n", command.details);
  }
  std::fprintf(out, "\nEvery failure prints the chain of errors (code and message) and exits with status 1.\n");
}

void PrintError(const Common::Error& error) {
  std::string chain = Common::DescribeErrorChain(error);
  std::fprintf(stderr, "%s", chain.c_str());
  if (!chain.empty() && chain.back() != '\n') std::fprintf(stderr, "\n");
}

}  // namespace
}  // namespace Hvdisk

int main(int argc, char** argv) {
  using namespace Hvdisk;
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    PrintHelp(stdout);
    return argc < 2 ? 1 : 0;
  }
  Args args(argv + 2, argv + argc);
  for (const Command& command : kCommands) {
    if (std::strcmp(command.name, argv[1]) != 0) continue;
    if (TakeFlag(args, "--help")) {
      std::printf("usage: hvdisk %s %s\n  %s\n%s\n", command.name, command.usage, command.summary, command.details);
      return 0;
    }
    try {
      return command.run(args);
    } catch (const Common::Error& error) {
      PrintError(error);
      return 1;
    } catch (const std::exception& exception) {
      std::fprintf(stderr, "hvdisk: %s\n", exception.what());
      return 1;
    }
  }
  PrintError(Common::MakeErrorWithArgs(Code::kInvalidArguments, Msg::kVhdxUnknownCommand, HV_SITE("main"), "command",
                                       {Common::Utf8ToUtf16(argv[1])}));
  return 1;
}
