// A fuzzed file without copying: a shared read-only base image and the 4 KiB
// pages written over it. Templates and inputs are used in place, so an input
// costs what the engine touches, not the size of the image.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/core_file.h"

namespace Fuzz {

class OverlayCoreFile final : public Vhdx::CoreFile {
 public:
  // What growth past the bound means: a full disk the engine must handle, or
  // a finding (the engine wrote more than the file justifies).
  enum class Growth { kFull, kFinding };

  OverlayCoreFile(const uint8_t* base, uint64_t baseSize, uint64_t bound, Growth growth)
      : base_(base), baseSize_(baseSize), size_(baseSize), bound_(bound), growth_(growth) {}

  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset >= size_) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint64_t at = offset, end = offset + n; at < end;) {
      const uint64_t inPage = at % kPage;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPage - inPage, end - at));
      auto page = pages_.find(at / kPage);
      if (page != pages_.end()) {
        std::memcpy(out, page->second.data() + inPage, piece);
      } else {
        FromBase(at, out, piece);
      }
      out += piece;
      at += piece;
    }
    return n;
  }

  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override {
    if (offset > bound_ || size > bound_ - offset) {
      Beyond(offset + size, "write");
      return 0;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    for (uint64_t at = offset, end = offset + size; at < end;) {
      const uint64_t inPage = at % kPage;
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPage - inPage, end - at));
      // Zeros past the base and the pages need no page: they read as zeros.
      if (at >= baseSize_ && !pages_.count(at / kPage) && AllZero(in, piece)) {
        in += piece;
        at += piece;
        continue;
      }
      std::memcpy(Page(at / kPage).data() + inPage, in, piece);
      in += piece;
      at += piece;
    }
    size_ = std::max(size_, offset + size);
    return size;
  }

  uint64_t GetSize() override { return size_; }

  void SetSize(uint64_t size) override {
    if (size > bound_) {
      Beyond(size, "truncate");
      HV_THROW(Code::kDiskFull, Msg::kVhdxDiskFull, "Truncate");
    }
    if (size < size_) {
      // What lies past the new end reads as zeros if the file grows again.
      baseSize_ = std::min(baseSize_, size);
      std::erase_if(pages_, [&](const auto& page) { return page.first * kPage >= size; });
      auto last = pages_.find(size / kPage);
      if (last != pages_.end()) std::fill(last->second.begin() + size % kPage, last->second.end(), 0);
    }
    size_ = size;
  }

  void Flush() override {}

  uint64_t Size() const { return size_; }

 private:
  static constexpr uint64_t kPage = 4096;
  using PageBytes = std::array<uint8_t, kPage>;

  static bool AllZero(const uint8_t* bytes, size_t n) {
    return std::all_of(bytes, bytes + n, [](uint8_t b) { return b == 0; });
  }

  void FromBase(uint64_t at, uint8_t* out, size_t n) const {
    const size_t fromBase = at < baseSize_ ? static_cast<size_t>(std::min<uint64_t>(n, baseSize_ - at)) : 0;
    if (fromBase) std::memcpy(out, base_ + at, fromBase);
    std::memset(out + fromBase, 0, n - fromBase);
  }

  PageBytes& Page(uint64_t index) {
    auto [page, inserted] = pages_.try_emplace(index);
    // Bytes past the current end are zeros, whatever the base held there.
    if (inserted) FromBase(index * kPage, page->second.data(), kPage);
    return page->second;
  }

  void Beyond(uint64_t end, const char* what) const {
    if (growth_ == Growth::kFull) return;
    std::fprintf(stderr, "finding: a %s grows the file from %llu to %llu bytes, past the bound of %llu\n", what,
                 static_cast<unsigned long long>(initialSize_), static_cast<unsigned long long>(end),
                 static_cast<unsigned long long>(bound_));
    std::abort();
  }

  const uint8_t* base_;
  uint64_t baseSize_;
  const uint64_t initialSize_ = baseSize_;
  uint64_t size_;
  uint64_t bound_;
  Growth growth_;
  std::unordered_map<uint64_t, PageBytes> pages_;
};

}  // namespace Fuzz
