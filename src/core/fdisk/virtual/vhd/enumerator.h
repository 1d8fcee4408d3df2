// Enumerators over bitmaps and indexed entries.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhd/bitmap.h"
#include "core/fdisk/virtual/vhd/interval.h"

namespace Vhd {

// One interval [base + p, base + q) per maximal run [p, q) of set bits.
class PresentBitmapEnumerator final : public Enumerator<DiskArea> {
 public:
  PresentBitmapEnumerator(std::shared_ptr<Bitmap> bitmap, unsigned long long base)
      : bitmap_(std::move(bitmap)), base_(base) {}
  bool Enumerate(Collector<DiskArea>& collector) override {
    const uint64_t size = bitmap_->Size();
    uint64_t p = bitmap_->FindFirst(true);
    while (p < size) {
      uint64_t q = bitmap_->FindNext(p, false);
      if (!collector.Collect({base_ + p, q - p})) return false;
      if (q >= size) break;
      p = bitmap_->FindNext(q, true);
    }
    return true;
  }

 private:
  std::shared_ptr<Bitmap> bitmap_;
  unsigned long long base_;
};

class DiskAreaEnumeratorFactory {
 public:
  virtual ~DiskAreaEnumeratorFactory() = default;
  virtual std::unique_ptr<Enumerator<DiskArea>> Create(unsigned long long base, std::shared_ptr<Bitmap> bitmap) = 0;
};

class PresentBitmapEnumeratorFactory final : public DiskAreaEnumeratorFactory {
 public:
  std::unique_ptr<Enumerator<DiskArea>> Create(unsigned long long base, std::shared_ptr<Bitmap> bitmap) override {
    return std::make_unique<PresentBitmapEnumerator>(std::move(bitmap), base);
  }
};

// Receives (index, entry) pairs.
template <class Entry>
class IndexedEntryCollector {
 public:
  virtual ~IndexedEntryCollector() = default;
  virtual bool Collect(uint32_t index, const Entry& entry) = 0;
};

template <class Entry>
class IndexedEntryEnumerator {
 public:
  virtual ~IndexedEntryEnumerator() = default;
  // Entries of the index range [first, end) in order.
  virtual bool Enumerate(uint32_t first, uint32_t end, IndexedEntryCollector<Entry>& collector) = 0;
};

template <class Entry>
class ArrayEntryEnumerator final : public IndexedEntryEnumerator<Entry> {
 public:
  explicit ArrayEntryEnumerator(Array<Entry>& array) : array_(array) {}
  bool Enumerate(uint32_t first, uint32_t end, IndexedEntryCollector<Entry>& collector) override {
    for (uint32_t i = first; i < end; ++i) {
      if (!collector.Collect(i, array_.Get(i))) return false;
    }
    return true;
  }

 private:
  Array<Entry>& array_;
};

}  // namespace Vhd
