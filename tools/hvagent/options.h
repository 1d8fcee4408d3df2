// The command line: a command, its positional arguments and its options,
// checked against a table of what each command takes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Hvagent {

struct CommandLine {
  std::string command;
  std::vector<std::string> args;
  std::map<std::string, std::string> options;  // flags hold ""

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::optional<std::string> Get(const std::string& name) const;
  // The option as a number within [low, high]; fallback when absent.
  uint64_t Number(const std::string& name, uint64_t fallback, uint64_t low, uint64_t high) const;
};

// Throws UsageError on an unknown command, a wrong argument count, an
// unknown option or a missing value.
CommandLine ParseCommandLine(const std::vector<std::string>& argv);

// A byte count with an optional binary suffix K, M, G or T.
uint64_t ParseSize(const std::string& text);
// A decimal number without sign or suffix.
uint64_t ParseNumber(const std::string& text, const std::string& what);

std::string UsageText();

}  // namespace Hvagent
