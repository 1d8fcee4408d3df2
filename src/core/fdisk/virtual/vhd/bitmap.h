// Bit arrays: owning bitmaps, sub-range views and the bit order inside a byte.
//
// One abstraction serves the sector bitmap blocks of differencing files (one
// bit per logical sector of a chunk) and the set of sectors a read request
// still needs. Views share the owner's bytes; a view of a view refers to the
// owner directly, so views never chain.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Vhd {

class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  virtual ~Bitmap() = default;

  virtual uint64_t Size() const = 0;
  virtual bool Get(uint64_t index) const = 0;
  // A view of bits [first, first + count) sharing this bitmap's storage.
  virtual std::shared_ptr<Bitmap> Sub(uint64_t first, uint64_t count) = 0;
  // Index of the first bit equal to value, Size() when there is none.
  virtual uint64_t FindFirst(bool value) const = 0;
  // First index >= from whose bit equals value, Size() when there is none.
  virtual uint64_t FindNext(uint64_t from, bool value) const = 0;
  // First index in [from, from + count) whose bit equals value, from + count when none.
  virtual uint64_t FindInRange(uint64_t from, uint64_t count, bool value) const = 0;
  virtual void Set(uint64_t index, bool value) = 0;
  virtual void SetRange(uint64_t first, uint64_t count, bool value) = 0;
  virtual void SetAll(bool value) = 0;
};

class DataOwningBitmap : public Bitmap {
 public:
  virtual uint8_t* Data() = 0;
  virtual const uint8_t* Data() const = 0;
  virtual uint64_t ByteSize() const = 0;
};

// Where bit i of a byte lives.
class ByteOperations {
 public:
  virtual ~ByteOperations() = default;
  virtual uint8_t BitMask(uint8_t bit) const = 0;
  virtual uint8_t RangeMask(uint8_t first, uint8_t count) const = 0;
  // First position in [from, to) whose bit equals value; to when none (and
  // from when from >= to).
  virtual uint8_t FindInByte(uint8_t byte, bool value, uint8_t from, uint8_t to) const = 0;
};

// Least significant bit first: the order of VHDX sector bitmaps.
class DirectByteOperations final : public ByteOperations {
 public:
  uint8_t BitMask(uint8_t bit) const override;
  uint8_t RangeMask(uint8_t first, uint8_t count) const override;
  uint8_t FindInByte(uint8_t byte, bool value, uint8_t from, uint8_t to) const override;
};

// Most significant bit first.
class ReversedByteOperations final : public ByteOperations {
 public:
  uint8_t BitMask(uint8_t bit) const override;
  uint8_t RangeMask(uint8_t first, uint8_t count) const override;
  uint8_t FindInByte(uint8_t byte, bool value, uint8_t from, uint8_t to) const override;
};

// An owning bitmap of size bits, every byte (spare bits included) filled
// with 0xFF for value 1 and 0x00 for value 0.
std::shared_ptr<DataOwningBitmap> CreateBitmap(uint64_t size, bool value, bool reversed = false);

// Throws "Bitmap index is out of bounds." unless [first, first + count) lies
// inside a bitmap of size bits (first < size; count may be 0).
void CheckBitmapRange(uint64_t size, uint64_t first, uint64_t count);

}  // namespace Vhd
