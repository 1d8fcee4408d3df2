#include "core/fdisk/virtual/vhdx/durability_testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/hierarchy_testutil.h"
#include "core/fdisk/virtual/vhdx/vhdx_testutil.h"

namespace VhdxTest {

size_t RecordingCoreFile::WriteAt(uint64_t offset, const void* buffer, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  ops.push_back({Op::kWrite, offset, {bytes, bytes + size}, step});
  return MemoryCoreFile::WriteAt(offset, buffer, size);
}

void RecordingCoreFile::SetSize(uint64_t size) {
  ops.push_back({Op::kSize, size, {}, step});
  MemoryCoreFile::SetSize(size);
}

void RecordingCoreFile::Flush() {
  if (failFlushes) HV_THROW(Code::kFileWrite, Msg::kVhdxFileFlushError, "Flush");
  ops.push_back({Op::kFlush, 0, {}, step});
}

int RecordingCoreFile::Flushes(int inStep) const {
  return static_cast<int>(
      std::count_if(ops.begin(), ops.end(), [&](const Op& op) { return op.kind == Op::kFlush && op.step == inStep; }));
}

void SimulatePowerLosses(const std::vector<uint8_t>& image, const std::vector<RecordingCoreFile::Op>& ops,
                         const std::vector<size_t>& cuts, std::mt19937& random, int variants,
                         const std::function<void(Vhdx::MemoryCoreFile& crashed, size_t durable, size_t cut)>& check) {
  using Op = RecordingCoreFile::Op;
  // Applies [from, to) of a write, or a size change.
  auto apply = [](Vhdx::MemoryCoreFile& file, const Op& op, uint64_t from, uint64_t to) {
    if (op.kind == Op::kSize) file.SetSize(op.offset);
    if (op.kind == Op::kWrite) file.WriteAt(from, op.data.data() + (from - op.offset), to - from);
  };
  Vhdx::MemoryCoreFile durableImage(image);  // ops [0, durable) applied
  size_t durable = 0;
  for (size_t cut : cuts) {
    size_t lastFlush = durable;
    for (size_t i = durable; i < cut; ++i)
      if (ops[i].kind == Op::kFlush) lastFlush = i + 1;
    for (; durable < lastFlush; ++durable)
      apply(durableImage, ops[durable], ops[durable].offset, ops[durable].offset + ops[durable].data.size());
    for (int variant = 0; variant < variants; ++variant) {
      Vhdx::MemoryCoreFile crashed(durableImage.Bytes());
      for (size_t i = durable; i < cut; ++i) {
        const Op& op = ops[i];
        if (op.kind != Op::kWrite) {
          if (random() % 2) apply(crashed, op, 0, 0);
          continue;
        }
        for (uint64_t from = op.offset, end = op.offset + op.data.size(); from < end;) {
          const uint64_t to = std::min(end, (from / 512 + 1) * 512);
          if (random() % 2) apply(crashed, op, from, to);
          from = to;
        }
      }
      check(crashed, durable, cut);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

void FillStamped(uint8_t* data, uint64_t first, uint64_t count, uint32_t stamp) {
  for (uint64_t s = 0; s < count; ++s) {
    const auto sector = static_cast<uint32_t>(first + s);
    for (int i = 0; i < 512; i += 8) {
      std::memcpy(data + s * 512 + i, &stamp, 4);
      std::memcpy(data + s * 512 + i + 4, &sector, 4);
    }
  }
}

uint32_t StampOf(const uint8_t* sector) {
  uint32_t value;
  std::memcpy(&value, sector, 4);
  return value;
}

void MakeStampedParent(const std::string& dir, uint64_t sectors, std::vector<uint8_t>& child) {
  const std::string parent = dir + "/parent.vhdx";
  WriteWholeFile(parent, MakeDiskImage(sectors * 512));
  {
    auto disk = Vhdx::OpenDisk(parent, true);
    std::vector<uint8_t> data(sectors * 512);
    FillStamped(data.data(), 0, sectors, kParentStamp);
    disk->Write(0, data.data(), sectors);
  }
  MakeDifferencing(child, DataWriteGuidOf(ReadWholeFile(parent)), {{u"relative_path", u"parent.vhdx"}});
}

}  // namespace VhdxTest
