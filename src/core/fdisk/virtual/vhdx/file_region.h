// Views of a slice (file offset, length) of a Vhdx::File. Offsets given to a
// region are relative to its start; every access is bounds-checked.
#pragma once

#include <cstdint>
#include <memory>

#include "core/fdisk/virtual/vhdx/allocator.h"
#include "core/fdisk/virtual/vhdx/file.h"

namespace Vhdx {

struct FileArea {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t End() const { return offset + length; }
  friend bool operator==(const FileArea&, const FileArea&) = default;
};

struct RegionRange {
  uint64_t offset = 0;
  uint32_t size = 0;
};

class ReadOnlyFileRegion {
 public:
  virtual ~ReadOnlyFileRegion() = default;
  virtual FileArea GetArea() const = 0;
  virtual void Read(RegionRange range, void* buffer) = 0;
};

class WritableFileRegion : public ReadOnlyFileRegion {
 public:
  virtual void Write(RegionRange range, const void* buffer) = 0;
  // A barrier: what was written reaches the disk before what follows.
  virtual void Flush() = 0;
};

class ExpandableFileRegion : public WritableFileRegion {
 public:
  // Grows the region to at least newLength, moving it when the allocator
  // places it elsewhere.
  virtual void Expand(uint64_t newLength) = 0;
};

// Told (old area, new area) after a region moved or grew.
class ExpansionMonitor {
 public:
  virtual ~ExpansionMonitor() = default;
  virtual void OnExpanded(const FileArea& oldArea, const FileArea& newArea) = 0;
};

// Fails with 0x3C0036 unless offset + size <= length.
void CheckBound(const FileArea& area, uint64_t offset, uint64_t size);

std::shared_ptr<ReadOnlyFileRegion> MakeReadOnlyFileRegion(std::shared_ptr<File> file, FileArea area);
std::shared_ptr<WritableFileRegion> MakeWritableFileRegion(std::shared_ptr<File> file, FileArea area);
std::shared_ptr<ExpandableFileRegion> MakeExpandableFileRegion(std::shared_ptr<File> file, FileArea area,
                                                               std::shared_ptr<Allocator> allocator,
                                                               std::shared_ptr<ExpansionMonitor> monitor);
// A region that must never grow: Expand fails with 0x3C0000.
std::shared_ptr<ExpandableFileRegion> MakeThrowingExpandableFileRegion(std::shared_ptr<WritableFileRegion> region);

}  // namespace Vhdx
