// hvdisk check FILE: opens the file and its chain read-only (which already
// validates headers, metadata, block placement and parent links) and checks
// every BAT entry: known states, partially present blocks only where allowed
// and with a sector bitmap, blocks inside the file. Exit status 1 on any
// problem.
#include <algorithm>
#include <cstdio>

#include "command.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/bat_placement.h"
#include "core/fdisk/virtual/vhdx/read_path.h"
#include "disk_io.h"

namespace Hvdisk {

namespace {

int CheckFile(const std::string& path, Vhdx::DiskFile& file) {
  const Vhdx::DiskFileParts& parts = file.GetParts();
  // Entries and blocks past the end of a truncated file read as zeros.
  Vhdx::ZeroExtendedFile data(parts.files->DataFile());
  const uint64_t fileSize = data.GetSize();
  const Vhdx::ChunkTraits chunks(parts.logicalSectorSize, parts.blockSize);
  const Vhdx::ParametrizedBatIndexTraits traits(chunks.ChunkRatio());
  const uint64_t entries = Vhdx::BatEntryCount(parts.virtualSize, parts.logicalSectorSize, parts.blockSize);
  const bool differencing = parts.kind == Vhdx::kDiskDifferencing;
  Vhdx::FileRegionBatEntryArray table(data, parts.batRegion.fileOffset, parts.batRegion.length);
  int problems = 0;
  auto report = [&](uint64_t index, const char* what, uint64_t value) {
    if (++problems <= 100)
      std::printf("%s: BAT entry %llu: %s (0x%llx)\n", path.c_str(), static_cast<unsigned long long>(index), what,
                  static_cast<unsigned long long>(value));
  };
  for (uint64_t i = 0; i < entries; ++i) {
    const Vhdx::BatEntry entry = table.Get(static_cast<uint32_t>(i));
    const uint32_t state = entry.State();
    if (traits.IsBitmapEntry(static_cast<uint32_t>(i))) {
      if (state != Vhdx::kBlockNotPresent && state != Vhdx::kBlockFullyPresent) {
        report(i, "sector bitmap entry in an unknown state", entry.value);
      } else if (state == Vhdx::kBlockFullyPresent && entry.FileOffset() + Vhdx::kSectorBitmapBytes > fileSize) {
        report(i, "sector bitmap block beyond the end of the file (the file cannot be opened for writing)",
               entry.value);
      }
      continue;
    }
    if (state == 4 || state == 5) {
      report(i, "payload entry in an unknown state", entry.value);
      continue;
    }
    if (state == Vhdx::kBlockPartiallyPresent) {
      if (!differencing) report(i, "partially present block in a non-differencing file", entry.value);
      uint64_t chunk = traits.PayloadBlockNumber(static_cast<uint32_t>(i)) / chunks.ChunkRatio();
      uint64_t bitmapIndex = (uint64_t{chunks.ChunkRatio()} + 1) * (chunk + 1) - 1;
      bool bitmapPresent = bitmapIndex * 8 + 8 <= parts.batRegion.length &&
                           table.Get(static_cast<uint32_t>(bitmapIndex)).State() == Vhdx::kBlockFullyPresent;
      if (!bitmapPresent) report(i, "partially present block without a sector bitmap", entry.value);
    }
    // The last block of a disk that is not a multiple of the block size
    // needs only its part up to the disk's end.
    const uint64_t start = uint64_t{traits.PayloadBlockNumber(static_cast<uint32_t>(i))} * parts.blockSize;
    const uint64_t used = std::min<uint64_t>(parts.blockSize, parts.virtualSize - start);
    if ((state == Vhdx::kBlockFullyPresent || state == Vhdx::kBlockPartiallyPresent) &&
        entry.FileOffset() + used > fileSize) {
      report(i, "payload block beyond the end of the file (the file cannot be opened for writing)", entry.value);
    }
  }
  return problems;
}

}  // namespace

int RunCheck(const Args& input) {
  Args args = input;
  Require(args.size() == 1, "check");
  std::shared_ptr<Vhdx::Disk> disk;
  try {
    disk = Vhdx::OpenDisk(args[0], false);
  } catch (const Common::Error& error) {
    std::printf("%s: cannot be opened:\n%s", args[0].c_str(), Common::DescribeErrorChain(error).c_str());
    return 1;
  }
  int problems = 0;
  size_t files = 0;
  for (const auto& [path, file] : Vhdx::GetDiskChain(*disk)) {
    ++files;
    try {
      problems += CheckFile(path, *file);
    } catch (const Common::Error& error) {
      std::printf("%s: %s", path.c_str(), Common::DescribeErrorChain(error).c_str());
      ++problems;
    }
  }
  std::printf("%zu file(s) checked, %d problem(s)\n", files, problems);
  return problems ? 1 : 0;
}

}  // namespace Hvdisk
