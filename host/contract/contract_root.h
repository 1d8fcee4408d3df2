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
  std::atomic<uint64_t> extras{0};      // optional requests answered ("ODIR", "GTID", "RDAT", "WRAT")
  std::atomic<uint64_t> positioned{0};  // "RDAT" and "WRAT" requests that moved data
};

// A directory over the local path root_path (UTF-8). With extras, its
// directories and iterators answer the optional requests that only some
// file layers offer; without, they know the shared operations alone.
HVCONTRACT_API std::shared_ptr<rio_dir> ContractCreateRoot(const char* root_path, bool extras = false);
// A root "/" whose entries live in local_folder: paths the plug-in is given
// exist only through this root, so anything that goes around it to the local
// file system misses.
HVCONTRACT_API std::shared_ptr<rio_dir> ContractCreateJail(const char* local_folder, bool extras = false);
HVCONTRACT_API ContractCounters& ContractGetCounters();
