#include "core/fdisk/virtual/vhdx/file.h"

#include <algorithm>

#include "core/common/error.h"

namespace Vhdx {
namespace {
constexpr size_t kZeroPiece = 4096;
const uint8_t kZeros[kZeroPiece] = {};
}  // namespace

void ThrowReadOnly(const char* function) {
  Common::Throw(Common::MakeError(Code::kFileReadOnly, Msg::kVhdxFileReadOnly, HV_SITE(function)));
}

void ReadOnlyFile::Read(uint64_t offset, size_t size, void* buffer) {
  if (size == 0) return;
  if (file_->ReadAt(offset, buffer, size) != size) HV_THROW(Code::kEndOfFile, Msg::kFileEndReached, "Read");
}

uint64_t ReadOnlyFile::GetSize() { return file_->GetSize(); }

void WriteableFile::Write(uint64_t offset, size_t size, const void* buffer) {
  if (size == 0) return;
  if (Core().WriteAt(offset, buffer, size) != size) HV_THROW(Code::kDiskFull, Msg::kVhdxDiskFull, "Write");
}

void WriteableFile::WriteZero(uint64_t offset, uint64_t length) {
  for (; length >= kZeroPiece; length -= kZeroPiece, offset += kZeroPiece) Write(offset, kZeroPiece, kZeros);
  if (length) Write(offset, static_cast<size_t>(length), kZeros);
}

void WriteableFile::Expand(uint64_t newSize) {
  if (newSize > Core().GetSize()) Core().SetSize(newSize);
}

void WriteableFile::Flush() { Core().Flush(); }

}  // namespace Vhdx
