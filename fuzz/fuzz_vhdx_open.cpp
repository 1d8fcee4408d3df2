// Opens fuzzed bytes as a VHDX file, read-only and writable, from memory;
// then again with the header and region table checksums repaired, so that
// mutations behind the checksums reach the regions and the metadata.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/crc32c.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"

namespace {

class CountingConsumer final : public Vhdx::MetadataConsumer {
 public:
  void Consume(const Vhdx::MetadataDescriptor&, const uint8_t*, uint32_t size) override { bytes += size; }
  uint64_t bytes = 0;
};

void Exercise(const uint8_t* data, size_t size, bool writable) {
  // The file may grow (log replay, metadata growth) but only so far.
  const uint64_t capacity = 2 * uint64_t{size} + (16u << 20);
  auto core = std::make_shared<Vhdx::MemoryCoreFile>(std::vector<uint8_t>(data, data + size), capacity);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Exercise(data, size, false);
  Exercise(data, size, true);
  if (size < 0x50000) return 0;
  std::vector<uint8_t> repaired(data, data + size);
  for (const auto& [offset, length] : {std::pair{0x10000u, 4096u}, {0x20000u, 4096u}, {0x30000u, 65536u},
                                       {0x40000u, 65536u}}) {
    Vhdx::StoreLe32(repaired.data() + offset + 4, 0);
    Vhdx::StoreLe32(repaired.data() + offset + 4, Vhdx::Crc32c(0, repaired.data() + offset, length));
  }
  Exercise(repaired.data(), size, false);
  Exercise(repaired.data(), size, true);
  return 0;
}
