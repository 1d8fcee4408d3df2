#include "core/fdisk/virtual/vhdx/bat_placement.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/common/error.h"

namespace Vhdx {
namespace {

constexpr uint64_t kWindowEntries = kMegabyte / 8;  // the table is read 1 MB at a time
constexpr size_t kPastEndKept = 16;

std::u16string Dec(uint64_t value) { return Common::Utf8ToUtf16(std::to_string(value)); }

[[noreturn]] void ThrowOverlap(uint64_t offset) {
  HV_THROW_ARGS(Code::kIntersectingDataBlock, Msg::kIntersectingDataBlock, "CheckIntersection", "offset",
                {Dec(offset)});
}

// Sorted by start, none overlapping another.
std::vector<Vhd::DiskArea> CheckedReserved(const std::vector<Vhd::DiskArea>& areas) {
  std::vector<Vhd::DiskArea> reserved;
  for (const Vhd::DiskArea& area : areas) {
    if (area.length == 0) continue;
    if (area.start > kMaxPlacementOffset || area.length > kMaxPlacementOffset - area.start) {
      HV_THROW_ARGS(Code::kAreaBeyondLimit, Msg::kAreaBeyondLimit, "CheckBound", "offset,length",
                    {Dec(area.start), Dec(area.length)});
    }
    reserved.push_back(area);
  }
  std::sort(reserved.begin(), reserved.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  for (size_t i = 1; i < reserved.size(); ++i)
    if (reserved[i].start < reserved[i - 1].End()) ThrowOverlap(reserved[i].start);
  return reserved;
}

// Whether [offset, end) meets one of the sorted, disjoint reserved areas.
bool MeetsReserved(const std::vector<Vhd::DiskArea>& reserved, uint64_t offset, uint64_t end) {
  auto it = std::lower_bound(reserved.begin(), reserved.end(), end,
                             [](const Vhd::DiskArea& area, uint64_t value) { return area.start < value; });
  return it != reserved.begin() && std::prev(it)->End() > offset;
}

// The bytes of payload block number that hold disk data: all of it but for
// the last block of a disk whose size is not a multiple of the block size.
uint64_t UsedLength(const PlacementLayout& layout, uint64_t number) {
  const uint64_t start = number * layout.blockSize;
  if (start >= layout.virtualSize) return layout.blockSize;
  return std::min(layout.blockSize, layout.virtualSize - start);
}

// One bit per megabyte of the file, set where a block lies: finds blocks
// that overlap in table order, without sorting them first.
class OccupancyMap {
 public:
  explicit OccupancyMap(uint64_t megabytes) : words_((megabytes + 63) / 64) {}
  bool Enabled() const { return !words_.empty(); }
  // False when one of the megabytes is taken already.
  bool Claim(uint64_t mb, uint64_t count) {
    for (uint64_t end = mb + count; mb < end;) {
      const uint64_t bits = std::min<uint64_t>(64 - mb % 64, end - mb);
      const uint64_t mask = (bits == 64 ? ~uint64_t{0} : ((uint64_t{1} << bits) - 1)) << (mb % 64);
      uint64_t& word = words_[mb / 64];
      if (word & mask) return false;
      word |= mask;
      mb += bits;
    }
    return true;
  }

 private:
  std::vector<uint64_t> words_;
};

}  // namespace

BlockPlacement::BlockPlacement(const PlacementLayout& layout)
    : ratio_(layout.chunkRatio), blockSize_(layout.blockSize) {}

PlacedBlock BlockPlacement::Decode(uint64_t key) const {
  const auto index = static_cast<uint32_t>(key);
  const bool bitmap = (uint64_t{index} + 1) % (uint64_t{ratio_} + 1) == 0;
  return {(key >> 32) << 20, bitmap ? kSectorBitmapBytes : blockSize_, index, bitmap};
}

std::shared_ptr<BlockPlacement> BlockPlacement::Build(File& file, const PlacementLayout& layout) {
  std::shared_ptr<BlockPlacement> placement(new BlockPlacement(layout));
  const std::vector<Vhd::DiskArea> reserved = CheckedReserved(layout.reserved);
  for (const Vhd::DiskArea& area : reserved) placement->end_ = std::max<uint64_t>(placement->end_, area.End());

  // Entries past the end of the file read as zeros: not present.
  const uint64_t fileSize = file.GetSize();
  const uint64_t tableEntries = std::min<uint64_t>(layout.entryCount, layout.batLength / 8);
  uint64_t entries = 0;
  if (layout.batOffset < fileSize) entries = std::min<uint64_t>(tableEntries, (fileSize - layout.batOffset + 7) / 8);
  const uint64_t perChunk = uint64_t{layout.chunkRatio} + 1;
  std::vector<uint64_t>& keys = placement->keys_;
  keys.reserve(entries + 1);
  // Overlaps are found through a map of the file's megabytes when it costs
  // at most a byte per table entry; otherwise by sorting at once.
  const uint64_t mapMb =
      ((fileSize + kMegabyte - 1) >> 20) + std::max(layout.blockSize, kSectorBitmapBytes) / kMegabyte;
  OccupancyMap occupied(mapMb <= 8 * std::max<uint64_t>(entries, 1) ? mapMb : 0);
  bool sorted = true;
  auto place = [&](uint64_t index, BatEntry entry) {
    const bool bitmap = (index + 1) % perChunk == 0;
    const uint32_t state = entry.State();
    if (bitmap ? state != kBlockFullyPresent : state != kBlockFullyPresent && state != kBlockPartiallyPresent) return;
    const uint64_t offset = entry.FileOffset();
    const uint64_t length = bitmap ? kSectorBitmapBytes : layout.blockSize;
    const uint64_t used = bitmap ? length : UsedLength(layout, index - index / perChunk);
    if (offset >= kMaxPlacementOffset || offset + used > fileSize) {
      if (layout.writable) {
        HV_THROW_ARGS(Code::kBlockBeyondFileEnd, Msg::kBlockBeyondFileEnd, "CheckBlockPlacement",
                      "index,length,offset,size", {Dec(index), Dec(used), Dec(offset), Dec(fileSize)});
      }
      if (placement->pastEndCount_++ < kPastEndKept) placement->pastEnd_.push_back(static_cast<uint32_t>(index));
      if (offset >= fileSize) return;  // nothing of it can be read, so nothing can collide
    }
    if (MeetsReserved(reserved, offset, offset + length)) ThrowOverlap(offset);
    // A block that starts inside the file ends within mapMb.
    if (occupied.Enabled() && !occupied.Claim(offset >> 20, length >> 20)) ThrowOverlap(offset);
    const uint64_t key = (offset >> 20) << 32 | index;
    if (!keys.empty() && key < keys.back()) sorted = false;
    keys.push_back(key);
    placement->end_ = std::max(placement->end_, offset + length);
  };
  std::vector<uint64_t> window(std::min(entries, kWindowEntries));
  for (uint64_t first = 0; first < entries; first += kWindowEntries) {
    const uint64_t count = std::min(kWindowEntries, entries - first);
    file.Read(layout.batOffset + first * 8, count * 8, window.data());
    for (uint64_t i = 0; i < count; ++i) place(first + i, BatEntry{window[i]});
  }
  // The entry count leaves out the bitmap entry of a last chunk that is not
  // full, though the table holds it and the data path uses it.
  const uint64_t blocks = PayloadBlockCount(layout.virtualSize, static_cast<uint32_t>(layout.blockSize));
  if (blocks && layout.chunkRatio) {
    const uint64_t index = (blocks - 1) / layout.chunkRatio * perChunk + layout.chunkRatio;
    const uint64_t at = layout.batOffset + index * 8;
    if (index >= tableEntries && index < layout.batLength / 8 && index <= UINT32_MAX && at + 8 <= fileSize) {
      uint64_t word = 0;
      file.Read(at, 8, &word);
      place(index, BatEntry{word});
    }
  }
  placement->sorted_ = sorted;
  if (!occupied.Enabled()) {
    placement->Sort();
    uint64_t reach = 0;
    for (uint64_t key : keys) {
      const PlacedBlock block = placement->Decode(key);
      if (block.fileOffset < reach) ThrowOverlap(block.fileOffset);
      reach = block.fileOffset + block.length;
    }
  }
  return placement;
}

void BlockPlacement::Sort() const {
  if (sorted_) return;
  std::sort(keys_.begin(), keys_.end());
  sorted_ = true;
}

bool BlockPlacement::Find(const Vhd::DiskArea& bytes, Vhd::Collector<PlacedBlock>& collector) const {
  if (bytes.length == 0 || keys_.empty()) return true;
  Sort();
  // A block starting more than the longest block length before the range
  // ends before it.
  const uint64_t longest = std::max(blockSize_, kSectorBitmapBytes);
  const uint64_t from = bytes.start >= longest ? (bytes.start - longest) >> 20 : 0;
  const uint64_t end = bytes.start + std::min<uint64_t>(bytes.length, UINT64_MAX - bytes.start);
  for (auto it = std::lower_bound(keys_.begin(), keys_.end(), std::min<uint64_t>(from, UINT32_MAX) << 32);
       it != keys_.end(); ++it) {
    const PlacedBlock block = Decode(*it);
    if (block.fileOffset >= end) break;
    if (block.fileOffset + block.length <= bytes.start) continue;
    if (!collector.Collect(block)) return false;
  }
  return true;
}

void BlockPlacement::Update(const BatArea& area) {
  const uint64_t perChunk = uint64_t{ratio_} + 1;
  const uint64_t firstIndex = area.firstChunk * perChunk;
  std::vector<uint64_t> added;
  uint64_t end = end_;
  for (size_t i = 0; i < area.entries.size(); ++i) {
    const uint64_t index = firstIndex + i;
    if (index > UINT32_MAX) break;
    const BatEntry entry{area.entries[i]};
    const bool bitmap = (index + 1) % perChunk == 0;
    const uint32_t state = entry.State();
    if (bitmap ? state != kBlockFullyPresent : state != kBlockFullyPresent && state != kBlockPartiallyPresent) continue;
    const uint64_t offset = entry.FileOffset();
    const uint64_t length = bitmap ? kSectorBitmapBytes : blockSize_;
    // Everything known ends at or before end_, so only new blocks lie there.
    if (offset < end_ || offset >= kMaxPlacementOffset) continue;
    added.push_back((offset >> 20) << 32 | index);
    end = std::max(end, offset + length);
  }
  std::sort(added.begin(), added.end());
  keys_.insert(keys_.end(), added.begin(), added.end());
  end_ = end;
}

bool DataBlockInfoMap::Find(const Vhd::DiskArea& bytes, Vhd::Collector<DataBlockInfo>& collector) const {
  struct Payloads final : Vhd::Collector<PlacedBlock> {
    Payloads(const DataBlockInfoMap& map, Vhd::Collector<DataBlockInfo>& target) : map(map), target(target) {}
    bool Collect(const PlacedBlock& block) override {
      if (block.bitmap) return true;
      const uint64_t number = block.batIndex - block.batIndex / (uint64_t{map.ratio_} + 1);
      return target.Collect({block.fileOffset, number * map.sectorsPerBlock_, block.length});
    }
    const DataBlockInfoMap& map;
    Vhd::Collector<DataBlockInfo>& target;
  } payloads(*this, collector);
  return placement_.Find(bytes, payloads);
}

void ZeroExtendedFile::Read(uint64_t offset, size_t size, void* buffer) {
  try {
    FileDecorator::Read(offset, size, buffer);
    return;
  } catch (const Common::Error& error) {
    // Only a read that runs into the end of the file is completed with zeros.
    const uint64_t fileSize = GetSize();
    if (error.Code() != Code::kEndOfFile || offset + size <= fileSize) throw;
    const size_t inside = offset < fileSize ? static_cast<size_t>(fileSize - offset) : 0;
    if (inside) FileDecorator::Read(offset, inside, buffer);
    std::memset(static_cast<uint8_t*>(buffer) + inside, 0, size - inside);
  }
}

}  // namespace Vhdx
