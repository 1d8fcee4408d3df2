// hvdisk bench FILE [-w] [-c COUNT] [-s SIZE] [-S STEP] [-o OFFSET] [--random]:
// COUNT requests of SIZE bytes (default 75000 of 4 KiB), sequential from
// OFFSET advancing by STEP (default SIZE) and wrapping at the end of the
// disk, or at random sector-aligned offsets; reads unless -w. Prints the
// request count, bytes, seconds and MB/s.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <cstdio>
#include <random>
#include <vector>

#include "command.h"
#include "disk_io.h"

namespace Hvdisk {

int RunBench(const Args& input) {
  Args args = input;
  const bool write = TakeFlag(args, "-w");
  const bool random = TakeFlag(args, "--random");
  auto countText = TakeOption(args, "-c");
  auto sizeText = TakeOption(args, "-s");
  auto stepText = TakeOption(args, "-S");
  auto offsetText = TakeOption(args, "-o");
  Require(args.size() == 1, "bench");
  const uint64_t count = countText ? ParseSize(*countText) : 75000;
  const uint64_t size = sizeText ? ParseSize(*sizeText) : 4096;
  const uint64_t step = stepText ? ParseSize(*stepText) : size;
  uint64_t offset = offsetText ? ParseSize(*offsetText) : 0;

  auto disk = Vhdx::OpenDisk(args[0], write);
  const Vhdx::DiskGeometry geometry = disk->GetGeometry();
  const uint64_t sectorSize = geometry.logicalSectorSize;
  const uint64_t diskSize = geometry.virtualSize / sectorSize * sectorSize;
  Require(size > 0 && size % sectorSize == 0 && size <= diskSize && step % sectorSize == 0 &&
              offset % sectorSize == 0 && offset <= diskSize - size,
          "bench");
  // Page-aligned, as a block device client's buffer would be.
  std::unique_ptr<uint8_t, decltype(&std::free)> memory(
      static_cast<uint8_t*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096)), &std::free);
  Require(memory != nullptr, "bench");
  std::memset(memory.get(), write ? 0xA5 : 0, size);
  uint8_t* const buffer = memory.get();
  std::mt19937_64 generator(1);
  const uint64_t slots = (diskSize - size) / sectorSize + 1;

  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < count; ++i) {
    if (random) offset = generator() % slots * sectorSize;
    if (write)
      disk->Write(offset / sectorSize, buffer, size / sectorSize);
    else
      disk->Read(offset / sectorSize, buffer, size / sectorSize);
    if (!random) {
      offset += step;
      if (offset + size > diskSize) offset = 0;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double bytes = static_cast<double>(count) * static_cast<double>(size);
  std::printf("requests %llu bytes %.0f seconds %.6f MB/s %.2f\n", static_cast<unsigned long long>(count), bytes,
              seconds, seconds > 0 ? bytes / seconds / 1e6 : 0.0);
  return 0;
}

}  // namespace Hvdisk
