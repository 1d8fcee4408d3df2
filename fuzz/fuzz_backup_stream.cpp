// Backup streams arrive from outside: any bytes must be accepted or refused
// with a coded error, never crash or allocate beyond the item limits.
#include <cstddef>
#include <cstdint>

#include "core/file/memory_file.h"
#include "core/file/unix/backup_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = Common::CreateMemoryFile();
  size_t written = 0;
  stream->Write(data, size, written);
  stream->Rewind();
  const Common::Error error = FileLayer::CheckBackupStream(stream.get());
  (void)Common::FormatErrorMessage(error);
  return 0;
}
