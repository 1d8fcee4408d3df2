#include "core/file/positioned_io.h"

#include <algorithm>
#include <limits>

#include "core/common/error_codes.h"
#include "core/file/unix/posix_error.h"

namespace FileLayer {
namespace {

// A size-0 request: supported when the file answers it and fills in the
// count. A not-supported answer is taken away; any other failure stays.
template <class Request>
bool Offers(rio_file& file) {
  Request request;
  request.transferred = std::numeric_limits<size_t>::max();
  if (file.IOCTL(&request)) return request.transferred == 0;
  if (file.GetError().Code() == Code::kNotSupported) file.TakeError();
  return false;
}

// One request at offset: the positioned request where the file offers it,
// otherwise a seek and then the file's own Read or Write (`moveHere`).
template <class Request, class Buffer, class MoveHere>
size_t Transfer(rio_file& file, bool positioned, uint64_t offset, Buffer buffer, size_t size, MoveHere moveHere) {
  size_t transferred = 0;
  if (positioned) {
    Request request;
    request.offset = offset;
    request.buffer = buffer;
    request.size = size;
    // A short count on a full disk comes back as a success.
    if (file.IOCTL(&request)) transferred = request.transferred;
  } else {
    file.Seek(static_cast<int64_t>(offset));
    if (!file.Failed()) moveHere(buffer, size, transferred);
  }
  return std::min(transferred, size);
}

}  // namespace

PositionedFile::PositionedFile(rio_file& file) : file_(file) {
  if (file_.Failed()) return;
  positionedReads_ = Offers<file_ioctl_read_at>(file_);
  if (!file_.Failed()) positionedWrites_ = Offers<file_ioctl_write_at>(file_);
}

size_t PositionedFile::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (!Reachable(offset)) return 0;
  return Transfer<file_ioctl_read_at>(
      file_, positionedReads_, offset, buffer, size,
      [this](void* data, size_t count, size_t& done) { file_.Read(data, count, done); });
}

size_t PositionedFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  if (!Reachable(offset)) return 0;
  return Transfer<file_ioctl_write_at>(
      file_, positionedWrites_, offset, buffer, size,
      [this](const void* data, size_t count, size_t& done) { file_.Write(data, count, done); });
}

// Offsets a seek cannot reach fail alike on both paths.
bool PositionedFile::Reachable(uint64_t offset) {
  if (file_.Failed()) return false;
  if (offset <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return true;
  file_.SetError(MakePosixFileError(EINVAL, Code::kFileSeek, Msg::kFileSeekError, HV_SITE("Seek")));
  return false;
}

}  // namespace FileLayer
