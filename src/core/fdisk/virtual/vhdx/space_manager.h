// Placement of variable-size items inside a managed space (first fit).
#pragma once

#include <cstdint>
#include <map>

namespace Vhdx {

struct SpaceInterval {
  uint64_t offset = 0;
  uint32_t length = 0;  // 0 from Allocate or Reoccupy: no room
};

class SpaceManager {
 public:
  virtual ~SpaceManager() = default;
  virtual uint64_t GetSize() const = 0;
  // Raises the size; never lowers it.
  virtual void SetSize(uint64_t size) = 0;
  virtual SpaceInterval Allocate(uint32_t size) = 0;
  // 0x3C0034 outside the space, 0x3C0035 over occupied space.
  virtual void Occupy(SpaceInterval interval) = 0;
  // The item at offset keeps its offset with a new length when the space
  // after it allows; otherwise nothing changes and length 0 is returned.
  virtual SpaceInterval Reoccupy(uint64_t offset, uint32_t newLength) = 0;
  // 0x3C0033 unless offset starts an occupied interval.
  virtual void Free(uint64_t offset) = 0;
};

class AligningSpaceManager : public SpaceManager {
 public:
  AligningSpaceManager(uint64_t start, uint64_t size, uint64_t alignment, uint32_t granularity)
      : start_(start), size_(size), alignment_(alignment), granularity_(granularity) {}

  uint64_t GetSize() const override { return size_; }
  void SetSize(uint64_t size) override {
    if (size > size_) size_ = size;
  }
  SpaceInterval Allocate(uint32_t size) override;
  void Occupy(SpaceInterval interval) override;
  SpaceInterval Reoccupy(uint64_t offset, uint32_t newLength) override;
  void Free(uint64_t offset) override;

 private:
  uint64_t Round(uint64_t size) const;
  uint64_t End() const { return start_ + size_; }

  uint64_t start_;
  uint64_t size_;
  uint64_t alignment_;
  uint32_t granularity_;
  std::map<uint64_t, uint32_t> occupied_;  // offset -> length
};

}  // namespace Vhdx
