// Test helpers of the data path: the code an action throws, and collecting
// intervals into a vector.
#pragma once

#include <functional>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhd/interval.h"

namespace Vhd::Testing {

// The code of the Common::Error the action throws, 0 when it throws none.
inline uint32_t ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Common::Error& error) {
    return error.Code();
  }
  return 0;
}

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
