#include "core/fdisk/virtual/rio_core_file.h"

#include <cstdint>

#include "core/common/error.h"
#include "hvplug/file.h"

namespace VirtualDisks {

void RioCoreFile::ThrowIfFailed() {
  if (file_->Failed()) Common::Throw(file_->TakeError());
}

void RioCoreFile::SeekTo(uint64_t offset, const char* function) {
  // Positions are signed below; larger offsets lie beyond any real file.
  if (offset > static_cast<uint64_t>(INT64_MAX))
    Common::Throw(Common::MakeError(0x40005, Msg::kFileSeekError, HV_SITE(function)));
  file_->Seek(static_cast<int64_t>(offset));
  ThrowIfFailed();
}

size_t RioCoreFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  SeekTo(offset, "ReadAt");
  size_t transferred = 0;
  file_->Read(buffer, size, transferred);
  ThrowIfFailed();
  return transferred;
}

size_t RioCoreFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  SeekTo(offset, "WriteAt");
  size_t transferred = 0;
  file_->Write(buffer, size, transferred);
  ThrowIfFailed();
  return transferred;
}

uint64_t RioCoreFile::GetSize() {
  const uint64_t size = file_->GetSize();
  ThrowIfFailed();
  return size;
}

void RioCoreFile::SetSize(uint64_t size) {
  file_->Truncate(size);
  ThrowIfFailed();
}

void RioCoreFile::Flush() {
  file_->Flush();
  ThrowIfFailed();
}

}  // namespace VirtualDisks
