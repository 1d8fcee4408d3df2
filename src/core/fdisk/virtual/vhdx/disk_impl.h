// Vhdx::Disk: a VHDX disk with its differencing chain, read and written by
// sectors, with changed-block tracking through the agent's file tracker.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/fdisk/virtual/vhd/interval.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "hvplug/file_tracker.h"

namespace Vhdx {

class DiskFileHierarchy;

class Disk {
 public:
  Disk() = default;
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;
  virtual ~Disk() = default;

  // Of the file the disk was opened with.
  virtual DiskGeometry GetGeometry() const = 0;
  // buffer holds count * logical sector size bytes.
  virtual void Read(uint64_t firstSector, uint8_t* buffer, uint64_t count) = 0;
  virtual void Write(uint64_t firstSector, const uint8_t* buffer, uint64_t count) = 0;
  // Makes everything written so far durable (data, table, bitmaps, headers,
  // file size) and ends a first fill. Releasing a writable disk does it
  // too, but can only trace a failure; call this to learn of one.
  virtual void Flush() = 0;
  // A first fill: the disk was just created and is thrown away unless the
  // fill finishes, so its write requests go without their barriers (their
  // writes are issued in the same order). The next Flush, or the release,
  // makes everything durable at once and ends the fill; when that flush
  // fails the fill goes on and a later Flush tries again.
  virtual void BeginFirstFill() = 0;
  virtual bool InFirstFill() const = 0;
  virtual void GetMetadata(MetadataConsumer& consumer) = 0;
  virtual void SetMetadata(MetadataProvider& provider) = 0;
  virtual std::u16string GetCurrentChangeId() = 0;
  // Reports every changed part of the sector interval, increasing, until the
  // collector refuses one. "*" counts every allocated sector as changed.
  virtual void GetChanges(const std::u16string& changeId, const Vhd::DiskArea& sectors,
                          Vhd::Collector<Vhd::DiskArea>& collector) = 0;
};

// Opens the VHDX file at path (writable or read-only) and its parents
// (always read-only). tracker may be null. The last reference of a writable
// disk flushes it before it goes.
std::shared_ptr<Disk> OpenDisk(const std::string& path, bool writable,
                               Processor::AutoRef<VirtualWareRaw::FileTracker> tracker = nullptr);
// Opens a parent read-only by the path its child's locator gives; throws
// when it cannot.
using ParentOpener = std::function<std::shared_ptr<CoreFile>(const std::string& path)>;
// The same over an opened host file (the top of the chain; its parents are
// looked up beside path, through openParent when given, else as local files).
std::shared_ptr<Disk> OpenDisk(const std::string& path, std::shared_ptr<CoreFile> top, bool writable,
                               Processor::AutoRef<VirtualWareRaw::FileTracker> tracker = nullptr,
                               ParentOpener openParent = nullptr);

// The chain a disk was opened with, from the top file to the root parent:
// (path, disk file) pairs. For tools and tests.
std::vector<std::pair<std::string, std::shared_ptr<DiskFile>>> GetDiskChain(const Disk& disk);

// The local files a parent locator path may denote, in the order they are
// tried: the path with backslashes turned into slashes (a drive letter or
// volume prefix dropped) resolved against the child's folder, the same path
// taken as absolute, then the bare file name beside the child.
std::vector<std::string> ParentPathCandidates(const std::string& childFolder, const std::u16string& locatorPath);

}  // namespace Vhdx
