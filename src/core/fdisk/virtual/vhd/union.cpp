#include "core/fdisk/virtual/vhd/union.h"

#include "core/common/error.h"

namespace Vhd {

DiskArea Unite(const DiskArea& a, const DiskArea& b) {
  if (b.start + b.length < a.start || a.start + a.length < b.start) {
    Common::Throw(Common::MakeError(Code::kUniteDisjointIntervals, Msg::kUniteDisjointIntervals, HV_SITE("Unite")));
  }
  unsigned long long start = std::min(a.start, b.start);
  return {start, std::max(a.End(), b.End()) - start};
}

namespace {

void MergeInto(std::set<DiskArea, DiskAreaLess>& areas, const DiskArea& area) {
  auto [first, last] = areas.equal_range(area);
  if (first == last) {
    areas.insert(last, area);
    return;
  }
  DiskArea merged = area;
  for (auto it = first; it != last; ++it) merged = Unite(merged, *it);
  auto hint = areas.erase(first, last);
  areas.insert(hint, merged);
}

}  // namespace

bool Union::Collect(const DiskArea& area) {
  if (!area.Empty()) MergeInto(areas_, area);
  return true;
}

bool Union::Enumerate(Collector<DiskArea>& collector) {
  for (const DiskArea& area : areas_) {
    if (!collector.Collect(area)) return false;
  }
  return true;
}

bool CollectingDiskAreaIntersection::Collect(const DiskArea& area) {
  if (!area.Empty()) MergeInto(areas_, area);
  return true;
}

bool CollectingDiskAreaIntersection::Intersect(const DiskArea& area, Collector<DiskArea>& collector) const {
  auto [first, last] = areas_.equal_range(area);
  const unsigned long long end = area.End();
  for (auto it = first; it != last; ++it) {
    unsigned long long start = std::min(std::max(it->start, area.start), end);
    unsigned long long stop = std::min(std::max(it->End(), area.start), end);
    if (stop <= start) continue;
    if (!collector.Collect({start, stop - start})) return false;
  }
  return true;
}

}  // namespace Vhd
