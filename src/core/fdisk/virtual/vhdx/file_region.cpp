#include "core/fdisk/virtual/vhdx/file_region.h"

#include <vector>

#include "core/common/error.h"

namespace Vhdx {
namespace {

// What both plain regions do: hold the slice and read it, bounds-checked.
template <class Interface>
class SliceRegion : public Interface {
 public:
  SliceRegion(std::shared_ptr<File> file, FileArea area) : file_(std::move(file)), area_(area) {}
  FileArea GetArea() const override { return area_; }
  void Read(RegionRange range, void* buffer) override {
    CheckBound(area_, range.offset, range.size);
    file_->Read(area_.offset + range.offset, range.size, buffer);
  }

 protected:
  std::shared_ptr<File> file_;
  FileArea area_;
};

class ReadOnlyFileRegionImpl final : public SliceRegion<ReadOnlyFileRegion> {
 public:
  using SliceRegion::SliceRegion;
};

class WritableFileRegionImpl final : public SliceRegion<WritableFileRegion> {
 public:
  using SliceRegion::SliceRegion;
  void Write(RegionRange range, const void* buffer) override {
    CheckBound(area_, range.offset, range.size);
    file_->Write(area_.offset + range.offset, range.size, buffer);
  }
  void Flush() override { file_->Flush(); }
};

class ExpandableFileRegionImpl final : public ExpandableFileRegion {
 public:
  ExpandableFileRegionImpl(std::shared_ptr<File> file, FileArea area, std::shared_ptr<Allocator> allocator,
                           std::shared_ptr<ExpansionMonitor> monitor)
      : file_(std::move(file)),
        region_(MakeWritableFileRegion(file_, area)),
        allocator_(std::move(allocator)),
        monitor_(std::move(monitor)) {}

  FileArea GetArea() const override { return region_->GetArea(); }
  void Read(RegionRange range, void* buffer) override { region_->Read(range, buffer); }
  void Write(RegionRange range, const void* buffer) override { region_->Write(range, buffer); }
  void Flush() override { region_->Flush(); }

  // The copy and the grown file are durable before the region table points
  // at them; the monitor rewrites the table.
  void Expand(uint64_t newLength) override {
    const FileArea oldArea = region_->GetArea();
    if (oldArea.length >= newLength) return;
    Allocation allocation = allocator_->Allocate(newLength, oldArea.offset, oldArea.length);
    FileArea newArea{allocation.offset, allocation.size};
    if (newArea.offset != oldArea.offset) CopyContent(oldArea, newArea);
    file_->Flush();
    region_ = MakeWritableFileRegion(file_, newArea);
    if (monitor_) monitor_->OnExpanded(oldArea, newArea);
  }

 private:
  void CopyContent(const FileArea& from, const FileArea& to) {
    if (to.offset < from.End() && from.offset < to.End())
      HV_THROW(Code::kVhdxRegionCopyOverlap, Msg::kVhdxRegionCopyOverlap, "CopyContent");
    constexpr uint64_t kPiece = 4096;
    std::vector<uint8_t> buffer(kPiece);
    uint64_t done = 0;
    for (; from.length - done >= kPiece; done += kPiece) {
      file_->Read(from.offset + done, kPiece, buffer.data());
      file_->Write(to.offset + done, kPiece, buffer.data());
    }
    if (uint64_t rest = from.length - done) {
      file_->Read(from.offset + done, rest, buffer.data());
      file_->Write(to.offset + done, rest, buffer.data());
    }
  }

  std::shared_ptr<File> file_;
  std::shared_ptr<WritableFileRegion> region_;
  std::shared_ptr<Allocator> allocator_;
  std::shared_ptr<ExpansionMonitor> monitor_;
};

class ThrowingExpandableFileRegion final : public ExpandableFileRegion {
 public:
  explicit ThrowingExpandableFileRegion(std::shared_ptr<WritableFileRegion> region) : region_(std::move(region)) {}
  FileArea GetArea() const override { return region_->GetArea(); }
  void Read(RegionRange range, void* buffer) override { region_->Read(range, buffer); }
  void Write(RegionRange range, const void* buffer) override { region_->Write(range, buffer); }
  void Flush() override { region_->Flush(); }
  void Expand(uint64_t) override { HV_THROW(Code::kVhdxInternalError, Msg::kInternalError, "Expand"); }

 private:
  std::shared_ptr<WritableFileRegion> region_;
};

}  // namespace

void CheckBound(const FileArea& area, uint64_t offset, uint64_t size) {
  if (offset > area.length || size > area.length - offset)
    HV_THROW(Code::kVhdxRegionOutOfBounds, Msg::kVhdxRegionOutOfBounds, "CheckBound");
}

std::shared_ptr<ReadOnlyFileRegion> MakeReadOnlyFileRegion(std::shared_ptr<File> file, FileArea area) {
  return std::make_shared<ReadOnlyFileRegionImpl>(std::move(file), area);
}

std::shared_ptr<WritableFileRegion> MakeWritableFileRegion(std::shared_ptr<File> file, FileArea area) {
  return std::make_shared<WritableFileRegionImpl>(std::move(file), area);
}

std::shared_ptr<ExpandableFileRegion> MakeExpandableFileRegion(std::shared_ptr<File> file, FileArea area,
                                                               std::shared_ptr<Allocator> allocator,
                                                               std::shared_ptr<ExpansionMonitor> monitor) {
  return std::make_shared<ExpandableFileRegionImpl>(std::move(file), area, std::move(allocator), std::move(monitor));
}

std::shared_ptr<ExpandableFileRegion> MakeThrowingExpandableFileRegion(std::shared_ptr<WritableFileRegion> region) {
  return std::make_shared<ThrowingExpandableFileRegion>(std::move(region));
}

}  // namespace Vhdx
