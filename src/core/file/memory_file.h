// A file held in memory, at most 1 GiB.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hvplug/file.h"

namespace Common {

class MemoryFile : public rio_file {
 public:
  static constexpr uint64_t kMaxSize = 0x40000000;
  // The bytes written so far.
  virtual const std::string& Contents() const = 0;
};

// A new, empty memory file.
std::unique_ptr<MemoryFile> CreateMemoryFile();
// The same with a smaller size limit (tests of the limit).
std::unique_ptr<MemoryFile> CreateMemoryFile(uint64_t maxSize);

}  // namespace Common
