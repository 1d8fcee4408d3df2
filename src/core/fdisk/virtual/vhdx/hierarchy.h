// A disk file together with its parents: reads complete from the chain,
// sectors beyond a parent's end read as zeros.
#pragma once

#include <memory>
#include <string>

#include "core/fdisk/virtual/vhdx/disk_file.h"

namespace Vhdx {

class DiskFileHierarchy final : public DiskFileDelegate {
 public:
  // path: the file's name as the tracker knows it; parent null for the root.
  DiskFileHierarchy(std::shared_ptr<DiskFile> file, std::u16string path, std::shared_ptr<DiskFileHierarchy> parent)
      : DiskFileDelegate(std::move(file)), path_(std::move(path)), parent_(std::move(parent)) {}

  void ReadSectors(uint64_t firstSector, Vhd::Bitmap& needed, uint8_t* buffer) override;

  const std::u16string& Path() const { return path_; }
  const std::shared_ptr<DiskFileHierarchy>& Parent() const { return parent_; }
  uint64_t SectorCount() const;

 private:
  std::u16string path_;
  std::shared_ptr<DiskFileHierarchy> parent_;
};

// Fills the needed sectors of [first, first + count) of the bitmap with zero
// bytes and marks them supplied.
void ZeroFillNeeded(Vhd::Bitmap& needed, uint64_t first, uint64_t count, uint8_t* buffer, uint64_t sectorSize);

}  // namespace Vhdx
