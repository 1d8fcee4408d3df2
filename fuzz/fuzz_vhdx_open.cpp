// Opens fuzzed bytes as a VHDX file, read-only and writable, in place; then
// again with the header and region table checksums repaired, so that
// mutations behind the checksums reach the regions and the metadata.
//
// A file that grows past what a replayed log and a metadata update may need
// is a finding: the engine wrote more than the file's structures justify.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "overlay_core_file.h"

namespace {

// A replayed log may end the file up to 1 GiB past its size (a writer whose
// growth never reached the disk); metadata updates need a few megabytes.
constexpr uint64_t kAllowedGrowth = (1ull << 30) + (16u << 20);

class CountingConsumer final : public Vhdx::MetadataConsumer {
 public:
  void Consume(const Vhdx::MetadataDescriptor&, const uint8_t*, uint32_t size) override { bytes += size; }
  uint64_t bytes = 0;
};

using Patches = std::vector<std::pair<uint64_t, std::vector<uint8_t>>>;

void Exercise(const uint8_t* data, size_t size, const Patches& patches, bool writable) {
  auto core = std::make_shared<Fuzz::OverlayCoreFile>(data, size, size + kAllowedGrowth,
                                                      Fuzz::OverlayCoreFile::Growth::kFinding);
  for (const auto& [offset, bytes] : patches) core->WriteAt(offset, bytes.data(), bytes.size());
  try {
    auto disk = writable ? Vhdx::OpenDiskFileWritable(core, Vhdx::MakePage83MetadataConsumer())
                         : Vhdx::OpenDiskFileReadOnly(core, Vhdx::MakePage83MetadataConsumer());
    CountingConsumer consumer;
    disk->GetMetadata(consumer);
    disk->GetParentLocatorEntries();
    if (writable) {
      const uint8_t value[3] = {1, 2, 3};
      struct One : Vhdx::MetadataProvider {
        const uint8_t* value;
        void Provide(Vhdx::MetadataConsumer& target) override {
          target.Consume({*Common::ParseGuid("0F0F0F0F-1111-2222-3333-444444444444"), 1}, value, 3);
        }
      } provider;
      provider.value = value;
      disk->SetMetadata(provider);
    }
  } catch (const Common::Error&) {
    // A bad file gets a coded error; that is all that is asked of it.
  }
}

// The checksum fields of both headers and region tables, recomputed.
Patches RepairedChecksums(const uint8_t* data) {
  Patches patches;
  std::vector<uint8_t> bytes;
  for (const auto& [offset, length] :
       {std::pair{0x10000u, 4096u}, {0x20000u, 4096u}, {0x30000u, 65536u}, {0x40000u, 65536u}}) {
    bytes.assign(data + offset, data + offset + length);
    Vhdx::StoreLe32(bytes.data() + 4, 0);
    std::vector<uint8_t> crc(4);
    Vhdx::StoreLe32(crc.data(), Vhdx::Crc32c(0, bytes.data(), length));
    patches.emplace_back(offset + 4, std::move(crc));
  }
  return patches;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Exercise(data, size, {}, false);
  Exercise(data, size, {}, true);
  if (size < 0x50000) return 0;
  const Patches repaired = RepairedChecksums(data);
  Exercise(data, size, repaired, false);
  Exercise(data, size, repaired, true);
  return 0;
}
