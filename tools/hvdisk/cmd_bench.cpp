// hvdisk bench FILE [-w] [-c COUNT] [-d DEPTH] [-s SIZE] [-S STEP] [-o OFFSET] [--random]:
// COUNT requests of SIZE bytes (default 75000 of 4 KiB), sequential from
// OFFSET advancing by STEP (default SIZE) and wrapping to 0 at the end of the
// disk, or at random sector-aligned offsets; reads unless -w. Up to DEPTH
// requests are in flight at once (default 64). Prints the request count,
// bytes, seconds and MB/s.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "command.h"
#include "disk_io.h"

namespace Hvdisk {
namespace {

using Buffer = std::unique_ptr<uint8_t, decltype(&std::free)>;

// Page-aligned, as a block device client's buffer would be.
Buffer MakeBuffer(uint64_t size, uint8_t fill) {
  Buffer memory(static_cast<uint8_t*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096)), &std::free);
  Require(memory != nullptr, "bench");
  std::memset(memory.get(), fill, size);
  return memory;
}

// The offset of request i of a sequential run: from the first offset by
// step until a request would pass the end, then again from 0.
class SequentialOffsets {
 public:
  SequentialOffsets(uint64_t first, uint64_t step, uint64_t last) : first_(first), step_(step) {
    if (step == 0) return;
    firstRun_ = (last - first) / step + 1;
    period_ = last / step + 1;
  }
  uint64_t operator()(uint64_t i) const {
    if (step_ == 0) return first_;
    if (i < firstRun_) return first_ + i * step_;
    return (i - firstRun_) % period_ * step_;
  }

 private:
  uint64_t first_, step_, firstRun_ = 0, period_ = 1;
};

}  // namespace

int RunBench(const Args& input) {
  Args args = input;
  const bool write = TakeFlag(args, "-w");
  const bool random = TakeFlag(args, "--random");
  auto countText = TakeOption(args, "-c");
  auto depthText = TakeOption(args, "-d");
  auto sizeText = TakeOption(args, "-s");
  auto stepText = TakeOption(args, "-S");
  auto offsetText = TakeOption(args, "-o");
  Require(args.size() == 1, "bench");
  const uint64_t count = countText ? ParseSize(*countText) : 75000;
  const uint64_t depth = depthText ? ParseSize(*depthText) : 64;
  const uint64_t size = sizeText ? ParseSize(*sizeText) : 4096;
  const uint64_t step = stepText ? ParseSize(*stepText) : size;
  const uint64_t offset = offsetText ? ParseSize(*offsetText) : 0;
  Require(depth >= 1 && depth <= 1024, "bench");

  auto disk = Vhdx::OpenDisk(args[0], write);
  const Vhdx::DiskGeometry geometry = disk->GetGeometry();
  const uint64_t sectorSize = geometry.logicalSectorSize;
  const uint64_t diskSize = geometry.virtualSize / sectorSize * sectorSize;
  Require(size > 0 && size % sectorSize == 0 && size <= diskSize && step % sectorSize == 0 &&
              offset % sectorSize == 0 && offset <= diskSize - size,
          "bench");
  const SequentialOffsets sequential(offset, step, diskSize - size);
  const uint64_t slots = (diskSize - size) / sectorSize + 1;

  // A disk serves one caller at a time, so each reader in flight has an
  // opening of its own. Writes stay on one opening: two openings writing
  // would each allocate blocks behind the other's back.
  const uint64_t workers = write ? 1 : std::min(depth, std::max<uint64_t>(count, 1));
  std::vector<std::shared_ptr<Vhdx::Disk>> disks{disk};
  for (uint64_t w = 1; w < workers; ++w) disks.push_back(Vhdx::OpenDisk(args[0], false));

  std::atomic<uint64_t> next{0};
  std::mutex failureMutex;
  std::exception_ptr failure;
  auto work = [&](uint64_t w) {
    try {
      Buffer buffer = MakeBuffer(size, write ? 0xA5 : 0);
      std::mt19937_64 generator(1 + w);
      for (uint64_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
        const uint64_t at = random ? generator() % slots * sectorSize : sequential(i);
        if (write)
          disks[w]->Write(at / sectorSize, buffer.get(), size / sectorSize);
        else
          disks[w]->Read(at / sectorSize, buffer.get(), size / sectorSize);
      }
    } catch (...) {
      next.store(count);
      std::lock_guard<std::mutex> lock(failureMutex);
      if (!failure) failure = std::current_exception();
    }
  };

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (uint64_t w = 1; w < workers; ++w) threads.emplace_back(work, w);
  work(0);
  for (auto& thread : threads) thread.join();
  // Writes count as done once they are durable.
  if (write && !failure) disk->Flush();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failure) std::rethrow_exception(failure);

  const double bytes = static_cast<double>(count) * static_cast<double>(size);
  std::printf("requests %llu bytes %.0f seconds %.6f MB/s %.2f\n", static_cast<unsigned long long>(count), bytes,
              seconds, seconds > 0 ? bytes / seconds / 1e6 : 0.0);
  return 0;
}

}  // namespace Hvdisk
