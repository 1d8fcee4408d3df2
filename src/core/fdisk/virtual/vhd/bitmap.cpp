#include "core/fdisk/virtual/vhd/bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/common/error.h"

static_assert(std::endian::native == std::endian::little, "word searches assume little-endian words");

namespace Vhd {

namespace {

[[noreturn]] void ThrowOutOfBounds(const char* function) {
  Common::Throw(Common::MakeError(Code::kBitmapIndexOutOfBounds, Msg::kBitmapIndexOutOfBounds, HV_SITE(function)));
}

uint8_t LowMask(unsigned count) { return count >= 8 ? 0xFF : static_cast<uint8_t>((1u << count) - 1); }

const DirectByteOperations kDirect;
const ReversedByteOperations kReversed;

class DataOwningBitmapImpl final : public DataOwningBitmap, public std::enable_shared_from_this<DataOwningBitmapImpl> {
 public:
  DataOwningBitmapImpl(uint64_t size, bool value, bool reversed)
      : size_(size),
        bytes_((size + 7) / 8, value ? 0xFF : 0x00),
        ops_(reversed ? static_cast<const ByteOperations&>(kReversed) : kDirect),
        direct_(!reversed) {}

  uint64_t Size() const override { return size_; }
  bool Get(uint64_t index) const override {
    if (index >= size_) ThrowOutOfBounds("Get");
    return GetBit(index);
  }
  std::shared_ptr<Bitmap> Sub(uint64_t first, uint64_t count) override {
    CheckBitmapRange(size_, first, count);
    return MakeView(first, count);
  }
  uint64_t FindFirst(bool value) const override { return Find(0, size_, value); }
  uint64_t FindNext(uint64_t from, bool value) const override {
    if (from > size_) ThrowOutOfBounds("FindNext");
    return Find(from, size_, value);
  }
  uint64_t FindInRange(uint64_t from, uint64_t count, bool value) const override {
    if (from == size_) return size_;
    if (count == 0) return from;
    CheckBitmapRange(size_, from, count);
    return Find(from, from + count, value);
  }
  void Set(uint64_t index, bool value) override {
    if (index >= size_) ThrowOutOfBounds("Set");
    SetBit(index, value);
  }
  void SetRange(uint64_t first, uint64_t count, bool value) override {
    CheckBitmapRange(size_, first, count);
    Fill(first, count, value);
  }
  void SetAll(bool value) override { Fill(0, size_, value); }

  uint8_t* Data() override { return bytes_.data(); }
  const uint8_t* Data() const override { return bytes_.data(); }
  uint64_t ByteSize() const override { return bytes_.size(); }

  // Unchecked primitives shared with the views.
  bool GetBit(uint64_t index) const { return (bytes_[index >> 3] & ops_.BitMask(index & 7)) != 0; }
  void SetBit(uint64_t index, bool value) {
    uint8_t mask = ops_.BitMask(index & 7);
    if (value)
      bytes_[index >> 3] |= mask;
    else
      bytes_[index >> 3] &= static_cast<uint8_t>(~mask);
  }
  std::shared_ptr<Bitmap> MakeView(uint64_t first, uint64_t count);
  uint64_t Find(uint64_t from, uint64_t end, bool value) const;
  void Fill(uint64_t first, uint64_t count, bool value);

 private:
  uint64_t size_;
  std::vector<uint8_t> bytes_;
  const ByteOperations& ops_;
  bool direct_;
};

class SubBitmap final : public Bitmap {
 public:
  SubBitmap(std::shared_ptr<DataOwningBitmapImpl> owner, uint64_t offset, uint64_t size)
      : owner_(std::move(owner)), offset_(offset), size_(size) {}

  uint64_t Size() const override { return size_; }
  bool Get(uint64_t index) const override {
    if (index >= size_) ThrowOutOfBounds("Get");
    return owner_->GetBit(offset_ + index);
  }
  std::shared_ptr<Bitmap> Sub(uint64_t first, uint64_t count) override {
    CheckBitmapRange(size_, first, count);
    return owner_->MakeView(offset_ + first, count);
  }
  uint64_t FindFirst(bool value) const override { return owner_->Find(offset_, offset_ + size_, value) - offset_; }
  uint64_t FindNext(uint64_t from, bool value) const override {
    if (from > size_) ThrowOutOfBounds("FindNext");
    return owner_->Find(offset_ + from, offset_ + size_, value) - offset_;
  }
  uint64_t FindInRange(uint64_t from, uint64_t count, bool value) const override {
    if (from == size_) return size_;
    if (count == 0) return from;
    CheckBitmapRange(size_, from, count);
    return owner_->Find(offset_ + from, offset_ + from + count, value) - offset_;
  }
  void Set(uint64_t index, bool value) override {
    if (index >= size_) ThrowOutOfBounds("Set");
    owner_->SetBit(offset_ + index, value);
  }
  void SetRange(uint64_t first, uint64_t count, bool value) override {
    CheckBitmapRange(size_, first, count);
    owner_->Fill(offset_ + first, count, value);
  }
  void SetAll(bool value) override { owner_->Fill(offset_, size_, value); }

 private:
  std::shared_ptr<DataOwningBitmapImpl> owner_;
  uint64_t offset_;
  uint64_t size_;
};

std::shared_ptr<Bitmap> DataOwningBitmapImpl::MakeView(uint64_t first, uint64_t count) {
  return std::make_shared<SubBitmap>(shared_from_this(), first, count);
}

// Searches [from, end): the partial first byte bit by bit, then whole 64-bit
// words, then the remaining bytes.
uint64_t DataOwningBitmapImpl::Find(uint64_t from, uint64_t end, bool value) const {
  const uint8_t* data = bytes_.data();
  uint64_t i = from;
  if (i >= end) return end;
  if (i & 7) {
    uint64_t byteStart = i & ~uint64_t{7};
    auto to = static_cast<uint8_t>(std::min<uint64_t>(8, end - byteStart));
    uint8_t found = ops_.FindInByte(data[i >> 3], value, static_cast<uint8_t>(i & 7), to);
    if (found < to) return byteStart + found;
    i = byteStart + 8;
  }
  const uint64_t uniform = value ? 0 : ~uint64_t{0};
  while (i + 64 <= end) {
    uint64_t word;
    std::memcpy(&word, data + (i >> 3), sizeof word);
    if (word != uniform) {
      if (direct_) return i + static_cast<uint64_t>(std::countr_zero(word ^ uniform));
      break;
    }
    i += 64;
  }
  const uint8_t uniformByte = value ? 0x00 : 0xFF;
  while (i < end) {
    uint8_t byte = data[i >> 3];
    auto to = static_cast<uint8_t>(std::min<uint64_t>(8, end - i));
    if (to < 8 || byte != uniformByte) {
      uint8_t found = ops_.FindInByte(byte, value, 0, to);
      if (found < to) return i + found;
    }
    i += 8;
  }
  return end;
}

void DataOwningBitmapImpl::Fill(uint64_t first, uint64_t count, bool value) {
  if (count == 0) return;
  uint8_t* data = bytes_.data();
  auto apply = [&](uint64_t byteIndex, uint8_t mask) {
    if (value)
      data[byteIndex] |= mask;
    else
      data[byteIndex] &= static_cast<uint8_t>(~mask);
  };
  uint64_t head = std::min<uint64_t>(8 - (first & 7), count);
  apply(first >> 3, ops_.RangeMask(static_cast<uint8_t>(first & 7), static_cast<uint8_t>(head)));
  uint64_t rest = count - head;
  uint64_t wholeBytes = rest / 8;
  uint64_t next = (first >> 3) + 1;
  if (wholeBytes) std::memset(data + next, value ? 0xFF : 0x00, wholeBytes);
  uint64_t tail = rest % 8;
  if (tail) apply(next + wholeBytes, ops_.RangeMask(0, static_cast<uint8_t>(tail)));
}

}  // namespace

uint8_t DirectByteOperations::BitMask(uint8_t bit) const { return static_cast<uint8_t>(1u << (bit & 7)); }
uint8_t DirectByteOperations::RangeMask(uint8_t first, uint8_t count) const {
  return static_cast<uint8_t>(LowMask(count) << first);
}
uint8_t DirectByteOperations::FindInByte(uint8_t byte, bool value, uint8_t from, uint8_t to) const {
  if (from >= to) return from;
  unsigned bits = value ? byte : static_cast<uint8_t>(~byte);
  bits &= static_cast<unsigned>(LowMask(to)) & ~static_cast<unsigned>(LowMask(from));
  return bits ? static_cast<uint8_t>(std::countr_zero(bits)) : to;
}

uint8_t ReversedByteOperations::BitMask(uint8_t bit) const { return static_cast<uint8_t>(0x80u >> (bit & 7)); }
uint8_t ReversedByteOperations::RangeMask(uint8_t first, uint8_t count) const {
  return static_cast<uint8_t>(LowMask(count) << (8 - count - first));
}
uint8_t ReversedByteOperations::FindInByte(uint8_t byte, bool value, uint8_t from, uint8_t to) const {
  if (from >= to) return from;
  for (uint8_t i = from; i < to; ++i) {
    if (((byte & BitMask(i)) != 0) == value) return i;
  }
  return to;
}

std::shared_ptr<DataOwningBitmap> CreateBitmap(uint64_t size, bool value, bool reversed) {
  return std::make_shared<DataOwningBitmapImpl>(size, value, reversed);
}

void CheckBitmapRange(uint64_t size, uint64_t first, uint64_t count) {
  if (first >= size || (count > 0 && count - 1 >= size - first)) ThrowOutOfBounds("CheckBound");
}

}  // namespace Vhd
