// Test helper of the data path: collecting intervals into a vector.
#pragma once

#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhd/interval.h"

namespace Vhd::Testing {

// Keeps every value; refuses after `limit` values when a limit is given.
template <class T>
class VectorCollector final : public Collector<T> {
 public:
  explicit VectorCollector(size_t limit = SIZE_MAX) : limit_(limit) {}
  bool Collect(const T& value) override {
    values.push_back(value);
    return values.size() < limit_;
  }
  std::vector<T> values;

 private:
  size_t limit_;
};

inline std::vector<DiskArea> Areas(std::initializer_list<std::pair<unsigned long long, unsigned long long>> list) {
  std::vector<DiskArea> out;
  for (auto [start, end] : list) out.push_back({start, end - start});
  return out;
}

}  // namespace Vhd::Testing
