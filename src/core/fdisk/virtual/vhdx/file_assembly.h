// The files through which the parts of an opened disk file write: structures
// (BAT, sector bitmaps, metadata), virtual-disk data, and the raw file that
// carries headers and region tables.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/file.h"
#include "core/fdisk/virtual/vhdx/write_field_modifier.h"

namespace Vhdx {

class FileAssembly {
 public:
  virtual ~FileAssembly() = default;
  // Writes here count as modifications of the file.
  virtual std::shared_ptr<File> StructureFile() = 0;
  // Writes here count as modifications of the virtual disk's data.
  virtual std::shared_ptr<File> DataFile() = 0;
  virtual std::shared_ptr<File> RawFile() = 0;
  // Off: flushes of the data layer (the write path's barriers, which put a
  // request's data before the table entries that point at it) do nothing.
  // A flush of the raw file still makes everything durable.
  virtual void SetDataBarriers(bool on) = 0;
};

// Every layer is the same write-protected view.
std::shared_ptr<FileAssembly> MakeReadOnlyFileAssembly(std::shared_ptr<File> protectedFile);

// Two change-tracking layers over the raw file whose first notifications
// renew the header's write GUIDs through a WriteFieldModifier.
std::shared_ptr<FileAssembly> MakeWritableFileAssembly(std::shared_ptr<File> rawFile);

}  // namespace Vhdx
