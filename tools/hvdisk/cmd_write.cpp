// hvdisk write FILE IN [--offset B]: stores IN ("-" for standard input) at a
// sector-aligned offset; the length must be a whole number of sectors. The
// data is durable when the command succeeds.
#include <vector>

#include "command.h"
#include "disk_io.h"

namespace Hvdisk {

int RunWrite(const Args& input) {
  Args args = input;
  auto offsetText = TakeOption(args, "--offset");
  Require(args.size() == 2, "write");
  auto disk = Vhdx::OpenDisk(args[0], true);
  const Vhdx::DiskGeometry geometry = disk->GetGeometry();
  const uint64_t sectorSize = geometry.logicalSectorSize;
  const uint64_t offset = offsetText ? ParseSize(*offsetText) : 0;
  Require(offset % sectorSize == 0, "write");

  Stream in(args[1], false);
  std::vector<uint8_t> buffer(kPieceBytes);
  uint64_t sector = offset / sectorSize;
  for (;;) {
    uint64_t got = in.ReadFull(buffer.data(), buffer.size());
    if (got == 0) break;
    Require(got % sectorSize == 0, "write");
    disk->Write(sector, buffer.data(), got / sectorSize);
    sector += got / sectorSize;
    if (got < buffer.size()) break;
  }
  // Releasing the disk flushes it too, but could only trace a failure.
  disk->Flush();
  return 0;
}

}  // namespace Hvdisk
