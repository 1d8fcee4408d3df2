// Changed files and the maps that supply them: what a file tracker knows
// about the byte ranges written to the files of a differencing chain.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/fdisk/virtual/vhd/interval.h"
#include "hvplug/file_tracker.h"

namespace Vhd {

// The changes of one file; every operation throws its failure.
class ChangedFile {
 public:
  virtual ~ChangedFile() = default;
  virtual bool IsWholeFileChanged() = 0;
  virtual uint64_t GetSize() = 0;
  // [start, end) byte pairs within [offset, offset + length), increasing.
  virtual std::vector<std::pair<uint64_t, uint64_t>> GetChangedRanges(uint64_t offset, uint64_t length) = 0;
};

// Everything changed ("*": no earlier point to compare with).
class FullChangedFile final : public ChangedFile {
 public:
  bool IsWholeFileChanged() override { return true; }
  uint64_t GetSize() override { return 0; }
  std::vector<std::pair<uint64_t, uint64_t>> GetChangedRanges(uint64_t, uint64_t) override { return {}; }
};

// A tracker's changed file behind the throwing contract.
class TrackerChangedFile final : public ChangedFile {
 public:
  explicit TrackerChangedFile(Processor::AutoRef<VirtualWareRaw::ChangedFile> file) : file_(std::move(file)) {}
  bool IsWholeFileChanged() override;
  uint64_t GetSize() override;
  std::vector<std::pair<uint64_t, uint64_t>> GetChangedRanges(uint64_t offset, uint64_t length) override;

 private:
  Processor::AutoRef<VirtualWareRaw::ChangedFile> file_;
};

class ChangedFileMap {
 public:
  virtual ~ChangedFileMap() = default;
  virtual std::shared_ptr<ChangedFile> Get(const std::u16string& path) = 0;
};

class FullChangedFileMap final : public ChangedFileMap {
 public:
  std::shared_ptr<ChangedFile> Get(const std::u16string&) override { return std::make_shared<FullChangedFile>(); }
};

class TrackedChangedFileMap final : public ChangedFileMap {
 public:
  TrackedChangedFileMap(Processor::AutoRef<VirtualWareRaw::FileTracker> tracker, std::u16string changeId)
      : tracker_(std::move(tracker)), changeId_(std::move(changeId)) {}
  std::shared_ptr<ChangedFile> Get(const std::u16string& path) override;

 private:
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker_;
  std::u16string changeId_;
};

class TrackChecker {
 public:
  virtual ~TrackChecker() = default;
  virtual bool IsTracked(const std::u16string& path) = 0;
};

class TrackerAwareTrackChecker final : public TrackChecker {
 public:
  explicit TrackerAwareTrackChecker(Processor::AutoRef<VirtualWareRaw::FileTracker> tracker)
      : tracker_(std::move(tracker)) {}
  bool IsTracked(const std::u16string& path) override;

 private:
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker_;
};

// Refuses files the tracker does not follow: "File '{0}' is not tracked...".
class CheckingChangedFileMap final : public ChangedFileMap {
 public:
  CheckingChangedFileMap(std::shared_ptr<TrackChecker> checker, std::shared_ptr<ChangedFileMap> inner)
      : checker_(std::move(checker)), inner_(std::move(inner)) {}
  std::shared_ptr<ChangedFile> Get(const std::u16string& path) override;

 private:
  std::shared_ptr<TrackChecker> checker_;
  std::shared_ptr<ChangedFileMap> inner_;
};

// The changed byte ranges of a file as intervals (start, end - start).
class ChangedFileRegionEnumerator final : public Enumerator<DiskArea> {
 public:
  explicit ChangedFileRegionEnumerator(ChangedFile& file) : file_(file) {}
  bool Enumerate(Collector<DiskArea>& collector) override;

 private:
  ChangedFile& file_;
};

}  // namespace Vhd
