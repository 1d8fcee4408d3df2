#include "core/fdisk/virtual/vhdx/change_tracking.h"

#include "core/common/error.h"

namespace Vhd {

namespace {

void ThrowIfFailed(const Common::Error& error) {
  if (error) Common::Throw(error);
}

}  // namespace

bool TrackerChangedFile::IsWholeFileChanged() {
  bool whole = false;
  ThrowIfFailed(file_->IsWholeFileChanged(whole));
  return whole;
}

uint64_t TrackerChangedFile::GetSize() {
  uint64_t size = 0;
  ThrowIfFailed(file_->GetSize(size));
  return size;
}

std::vector<std::pair<uint64_t, uint64_t>> TrackerChangedFile::GetChangedRanges(uint64_t offset, uint64_t length) {
  std::vector<VirtualWareRaw::ByteRange> ranges;
  ThrowIfFailed(file_->GetChangedRanges(offset, length, ranges));
  return ranges;
}

std::shared_ptr<ChangedFile> TrackedChangedFileMap::Get(const std::u16string& path) {
  Processor::AutoRef<VirtualWareRaw::ChangedFile> file;
  ThrowIfFailed(tracker_->GetChangedFile(changeId_, path, file));
  if (!file) HV_THROW_ARGS(Code::kFileNotTracked, Msg::kFileNotTracked, "GetChangedFile", "fileName", {path});
  return std::make_shared<TrackerChangedFile>(std::move(file));
}

bool TrackerAwareTrackChecker::IsTracked(const std::u16string& path) {
  bool tracked = false;
  ThrowIfFailed(tracker_->IsTracked(path, tracked));
  return tracked;
}

std::shared_ptr<ChangedFile> CheckingChangedFileMap::Get(const std::u16string& path) {
  if (!checker_->IsTracked(path)) {
    HV_THROW_ARGS(Code::kFileNotTracked, Msg::kFileNotTracked, "CheckTracked", "fileName", {path});
  }
  return inner_->Get(path);
}

bool ChangedFileRegionEnumerator::Enumerate(Collector<DiskArea>& collector) {
  uint64_t size = file_.GetSize();
  for (auto [start, end] : file_.GetChangedRanges(0, size)) {
    if (end <= start) continue;
    if (!collector.Collect({start, end - start})) return false;
  }
  return true;
}

}  // namespace Vhd
