// Reading and writing at absolute offsets on any file layer. A file that
// answers "RDAT" and "WRAT" moves each request in one call (for POSIX files
// one pread or pwrite); any other is served by Seek then Read or Write.
// Whether the file answers is asked once, when the accessor is made.
//
//   FileLayer::PositionedFile at(*file);
//   size_t got = at.ReadAt(offset, buffer, size);
//   if (file->Failed()) return file->TakeError();
#pragma once

#include <cstddef>
#include <cstdint>

#include "hvplug/file.h"

namespace FileLayer {

class PositionedFile {
 public:
  // file must outlive the accessor. A failure found while asking stays
  // stored in file.
  explicit PositionedFile(rio_file& file);

  // Each moves up to size bytes at offset and returns the count; failures
  // are stored in the file as by its own operations. Without the positioned
  // requests the file's position moves.
  size_t ReadAt(uint64_t offset, void* buffer, size_t size);
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size);

  bool PositionedReads() const { return positionedReads_; }
  bool PositionedWrites() const { return positionedWrites_; }

 private:
  bool Reachable(uint64_t offset);

  rio_file& file_;
  bool positionedReads_ = false;
  bool positionedWrites_ = false;
};

}  // namespace FileLayer
