// Placement of new file space.
#pragma once

#include <cstdint>
#include <memory>

#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

struct Allocation {
  uint64_t offset = 0;
  uint64_t size = 0;
};

class Allocator {
 public:
  virtual ~Allocator() = default;
  // Space of at least size bytes. current is the area being grown (offset and
  // length), which an allocator may extend in place.
  virtual Allocation Allocate(uint64_t size, uint64_t currentOffset, uint64_t currentLength) = 0;
};

// New space at the end of the file: offset = file size rounded up to the
// offset alignment, size rounded up to the size alignment; the file is grown
// to cover it.
class AtEndOfFileAllocator : public Allocator {
 public:
  AtEndOfFileAllocator(std::shared_ptr<File> file, uint64_t offsetAlignment, uint64_t sizeAlignment)
      : file_(std::move(file)), offsetAlignment_(offsetAlignment), sizeAlignment_(sizeAlignment) {}

  Allocation Allocate(uint64_t size, uint64_t currentOffset = 0, uint64_t currentLength = 0) override;

 private:
  std::shared_ptr<File> file_;
  uint64_t offsetAlignment_;
  uint64_t sizeAlignment_;
};

}  // namespace Vhdx
