// hvdisk read FILE OUT [--offset B] [--length B]: the virtual disk's bytes,
// streamed in bounded pieces; the file is opened read-only.
#include <vector>

#include "command.h"
#include "disk_io.h"

namespace Hvdisk {

int RunRead(const Args& input) {
  Args args = input;
  auto offsetText = TakeOption(args, "--offset");
  auto lengthText = TakeOption(args, "--length");
  Require(args.size() == 2, "read");
  auto disk = Vhdx::OpenDisk(args[0], false);
  const Vhdx::DiskGeometry geometry = disk->GetGeometry();
  const uint64_t sectorSize = geometry.logicalSectorSize;
  const uint64_t size = geometry.virtualSize / sectorSize * sectorSize;
  const uint64_t offset = offsetText ? ParseSize(*offsetText) : 0;
  Require(offset <= size, "read");
  const uint64_t length = lengthText ? ParseSize(*lengthText) : size - offset;
  Require(length <= size - offset, "read");

  Stream out(args[1], true);
  std::vector<uint8_t> buffer(kPieceBytes + 2 * sectorSize);
  for (uint64_t done = 0; done < length;) {
    // Whole sectors around the wanted bytes; only the wanted ones go out.
    const uint64_t position = offset + done;
    const uint64_t first = position / sectorSize;
    const uint64_t skip = position % sectorSize;
    const uint64_t want = std::min(length - done, kPieceBytes);
    const uint64_t sectors = (skip + want + sectorSize - 1) / sectorSize;
    disk->Read(first, buffer.data(), sectors);
    out.WriteAll(buffer.data() + skip, want);
    done += want;
  }
  return 0;
}

}  // namespace Hvdisk
