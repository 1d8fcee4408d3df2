// Interval sets: a union that merges overlapping and touching intervals, and
// an intersection that answers the parts of a query covered by its set.
#pragma once

#include <set>

#include "core/fdisk/virtual/vhd/interval.h"

namespace Vhd {

// a comes before b when a ends before b starts: overlapping or touching
// intervals are equivalent. Stored intervals never overlap or touch, so the
// set stays totally ordered and equal_range finds every neighbour of a key.
struct DiskAreaLess {
  using is_transparent = void;
  bool operator()(const DiskArea& a, const DiskArea& b) const { return a.start + a.length < b.start; }
};

class Union final : public Collector<DiskArea>, public Enumerator<DiskArea> {
 public:
  // Always true; empty intervals are ignored.
  bool Collect(const DiskArea& area) override;
  // The merged intervals in increasing order.
  bool Enumerate(Collector<DiskArea>& collector) override;
  size_t Count() const { return areas_.size(); }

 private:
  std::set<DiskArea, DiskAreaLess> areas_;
};

class Intersection {
 public:
  virtual ~Intersection() = default;
  // Reports the non-empty overlaps of the stored intervals with area, in
  // increasing order, until the collector refuses one.
  virtual bool Intersect(const DiskArea& area, Collector<DiskArea>& collector) const = 0;
};

class CollectingDiskAreaIntersection final : public Intersection, public Collector<DiskArea> {
 public:
  // Stores the interval; one that overlaps or touches stored ones is merged
  // with them, so nothing collected is ever lost.
  bool Collect(const DiskArea& area) override;
  bool Intersect(const DiskArea& area, Collector<DiskArea>& collector) const override;
  size_t Count() const { return areas_.size(); }

 private:
  std::set<DiskArea, DiskAreaLess> areas_;
};

}  // namespace Vhd
