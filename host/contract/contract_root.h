// A host-side file layer written only against the contract header, as an
// agent's own would be: none of its classes come from the plug-in. Tests hand
// its root to the plug-in to see that the plug-in calls foreign file objects
// through the contract's slots.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "hvplug/file.h"

#define HVCONTRACT_API __attribute__((visibility("default")))

// What the plug-in did through the host objects.
struct ContractCounters {
  std::atomic<uint64_t> opens{0};
  std::atomic<uint64_t> reads{0};  // Read calls
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> iterators{0};
};

// A directory over the local path root_path (UTF-8).
HVCONTRACT_API std::shared_ptr<rio_dir> ContractCreateRoot(const char* root_path);
HVCONTRACT_API ContractCounters& ContractGetCounters();
