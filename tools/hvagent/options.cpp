#include "options.h"

#include <cerrno>
#include <cstdlib>

#include "agent_error.h"

namespace Hvagent {

namespace {

struct OptionSpec {
  const char* name;
  bool takesValue;
};

struct CommandSpec {
  const char* name;
  size_t minArgs, maxArgs;
  std::vector<OptionSpec> options;
  std::vector<const char*> required;
  const char* usage;
};

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = {
      {"create-vm",
       2,
       2,
       {{"--memory", true}, {"--firmware", true}},
       {},
       "create-vm LOCATION NAME [--memory MIB] [--firmware bios|efi]"},
      {"info", 1, 1, {{"--json", false}}, {}, "info VMC [--json]"},
      {"set", 3, 3, {}, {}, "set VMC PROPERTY VALUE"},
      {"add-disk",
       2,
       2,
       {{"--size", true}, {"--bus", true}, {"--controller", true}, {"--device", true}, {"--sector-size", true}},
       {"--size"},
       "add-disk VMC FILE --size SIZE [--bus ide|scsi] [--controller N] [--device N] [--sector-size 512|4096]"},
      {"attach-disk",
       2,
       2,
       {{"--bus", true}, {"--controller", true}, {"--device", true}},
       {},
       "attach-disk VMC FILE [--bus ide|scsi] [--controller N] [--device N]"},
      {"remove-disk",
       1,
       1,
       {{"--bus", true}, {"--controller", true}, {"--device", true}, {"--delete-file", false}},
       {"--bus", "--controller", "--device"},
       "remove-disk VMC --bus ide|scsi --controller N --device N [--delete-file]"},
      {"remove-vm", 1, 1, {}, {}, "remove-vm VMC"},
      {"backup", 2, 2, {{"--full", false}}, {}, "backup VMC REPO [--full]"},
      {"points", 1, 1, {{"--json", false}}, {}, "points REPO [--json]"},
      {"restore", 3, 3, {{"--point", true}}, {}, "restore REPO LOCATION NAME [--point N]"},
      {"verify", 1, 1, {{"--point", true}}, {}, "verify REPO [--point N]"},
  };
  return commands;
}

[[noreturn]] void Usage(const std::string& message) { throw UsageError{message}; }

}  // namespace

std::optional<std::string> CommandLine::Get(const std::string& name) const {
  auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

uint64_t CommandLine::Number(const std::string& name, uint64_t fallback, uint64_t low, uint64_t high) const {
  auto value = Get(name);
  if (!value) return fallback;
  uint64_t n = ParseNumber(*value, name);
  if (n < low || n > high) Usage(name + " must be between " + std::to_string(low) + " and " + std::to_string(high));
  return n;
}

CommandLine ParseCommandLine(const std::vector<std::string>& argv) {
  if (argv.empty()) Usage("no command given");
  const CommandSpec* chosen = nullptr;
  for (const CommandSpec& candidate : Commands()) {
    if (argv[0] == candidate.name) chosen = &candidate;
  }
  if (!chosen) Usage("unknown command '" + argv[0] + "'");
  CommandLine line;
  line.command = argv[0];
  for (size_t i = 1; i < argv.size(); ++i) {
    const std::string& word = argv[i];
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) {
      line.args.push_back(word);
      continue;
    }
    const OptionSpec* option = nullptr;
    for (const OptionSpec& candidate : chosen->options) {
      if (word == candidate.name) option = &candidate;
    }
    if (!option) Usage("unknown option '" + word + "' for " + chosen->name);
    if (line.options.count(word)) Usage("option '" + word + "' given twice");
    if (option->takesValue) {
      if (i + 1 >= argv.size()) Usage("option '" + word + "' needs a value");
      line.options[word] = argv[++i];
    } else {
      line.options[word] = "";
    }
  }
  if (line.args.size() < chosen->minArgs || line.args.size() > chosen->maxArgs) {
    Usage(std::string("usage: hvagent ") + chosen->usage);
  }
  for (const char* required : chosen->required) {
    if (!line.Has(required)) Usage(std::string("usage: hvagent ") + chosen->usage);
  }
  return line;
}

uint64_t ParseNumber(const std::string& text, const std::string& what) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
    Usage("'" + text + "' is not a number (" + what + ")");
  }
  return std::strtoull(text.c_str(), nullptr, 10);
}

uint64_t ParseSize(const std::string& text) {
  if (text.empty()) Usage("an empty size");
  int shift = 0;
  std::string digits = text;
  switch (text.back()) {
    case 'K':
    case 'k':
      shift = 10;
      break;
    case 'M':
    case 'm':
      shift = 20;
      break;
    case 'G':
    case 'g':
      shift = 30;
      break;
    case 'T':
    case 't':
      shift = 40;
      break;
    default:
      break;
  }
  if (shift) digits.pop_back();
  uint64_t value = ParseNumber(digits, "size");
  if (value == 0 || value > (UINT64_MAX >> shift)) Usage("size '" + text + "' is out of range");
  return value << shift;
}

std::string UsageText() {
  std::string out = "usage:\n";
  for (const CommandSpec& command : Commands()) out += std::string("  hvagent ") + command.usage + "\n";
  return out;
}

}  // namespace Hvagent
