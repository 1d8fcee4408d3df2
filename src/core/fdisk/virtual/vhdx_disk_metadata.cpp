// User metadata of VHDX disks, addressed by (GUID text, flags) keys. The
// disk file keeps the two system items out of reach: they are neither listed
// nor found, and setting them fails.
#include <cstdint>
#include <optional>

#include "core/common/error_codes.h"
#include "core/common/guid.h"
#include "core/fdisk/virtual/vhdx/disk_impl.h"
#include "core/fdisk/virtual/vhdx/metadata.h"
#include "core/fdisk/virtual/vhdx_disk.h"

namespace VirtualDisks {
namespace {

// Exactly the 36-character form: the scanner behind ParseGuid alone would
// also take short fields and trailing text.
bool IsGuidText(const std::u16string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    if (dash ? c != u'-' : !hex) return false;
  }
  return true;
}

std::optional<Vhdx::MetadataDescriptor> ParseKey(const Fdisk::MetadataKey& key) {
  if (!IsGuidText(key.id)) return std::nullopt;
  const std::optional<Common::Guid> id = Common::ParseGuid(key.id);
  if (!id) return std::nullopt;
  return Vhdx::MetadataDescriptor{*id, key.flags};
}

Common::Error InvalidKey(const char* function) {
  return Common::MakeError(Code::kDiskInvalidMetadataKey, Msg::kDiskInvalidMetadataKey, HV_SITE_AT(function, __LINE__));
}

class KeyCollector final : public Vhdx::MetadataConsumer {
 public:
  explicit KeyCollector(std::vector<Fdisk::MetadataKey>& keys) : keys_(keys) {}
  void Consume(const Vhdx::MetadataDescriptor& descriptor, const uint8_t*, uint32_t) override {
    keys_.push_back({Common::GuidToWideText(descriptor.id), descriptor.flags});
  }

 private:
  std::vector<Fdisk::MetadataKey>& keys_;
};

// Keeps the data of the one item the key names.
class ItemCollector final : public Vhdx::MetadataConsumer {
 public:
  explicit ItemCollector(const Vhdx::MetadataDescriptor& wanted) : wanted_(wanted) {}
  void Consume(const Vhdx::MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    if (found_ || !wanted_.SameItem(descriptor)) return;
    found_ = true;
    value_.assign(data, data + size);
  }
  bool Found() const { return found_; }
  std::vector<uint8_t>& Value() { return value_; }

 private:
  Vhdx::MetadataDescriptor wanted_;
  bool found_ = false;
  std::vector<uint8_t> value_;
};

// Writes nothing: only learns whether the disk would take the item.
class SupportQuery final : public Vhdx::MetadataProvider {
 public:
  explicit SupportQuery(const Vhdx::MetadataDescriptor& descriptor) : descriptor_(descriptor) {}
  void Provide(Vhdx::MetadataConsumer& consumer) override {
    // The disk's consumers are our own objects, so asking their type is safe.
    auto* selective = dynamic_cast<Vhdx::SelectiveMetadataConsumer*>(&consumer);
    supported_ = selective ? selective->IsSupported(descriptor_) : true;
  }
  bool Supported() const { return supported_; }

 private:
  Vhdx::MetadataDescriptor descriptor_;
  bool supported_ = false;
};

// Hands one item over; the consumer decides whether it may be set.
class ItemProvider final : public Vhdx::MetadataProvider {
 public:
  ItemProvider(const Vhdx::MetadataDescriptor& descriptor, const std::vector<uint8_t>& value)
      : descriptor_(descriptor), value_(value) {}
  void Provide(Vhdx::MetadataConsumer& consumer) override {
    consumer.Consume(descriptor_, value_.data(), static_cast<uint32_t>(value_.size()));
  }

 private:
  Vhdx::MetadataDescriptor descriptor_;
  const std::vector<uint8_t>& value_;
};

}  // namespace

Common::Error MSVhdxVirtualMachineDiskEx::GetMetadataKeys(std::vector<Fdisk::MetadataKey>& keys) {
  std::vector<Fdisk::MetadataKey> found;
  Common::Error error = disk_->Vhdx().Call([&](Vhdx::Disk& disk) {
    KeyCollector collector(found);
    disk.GetMetadata(collector);
  });
  if (!error) keys = std::move(found);
  return error;
}

Common::Error MSVhdxVirtualMachineDiskEx::GetMetadata(const Fdisk::MetadataKey& key, std::vector<uint8_t>& value) {
  const std::optional<Vhdx::MetadataDescriptor> descriptor = ParseKey(key);
  if (!descriptor) return InvalidKey("GetMetadata");
  ItemCollector collector(*descriptor);
  Common::Error error = disk_->Vhdx().Call([&](Vhdx::Disk& disk) { disk.GetMetadata(collector); });
  if (error) return error;
  if (!collector.Found()) {
    return Common::MakeErrorWithArgs(Code::kDiskMetadataNotFound, Msg::kDiskMetadataNotFound, HV_SITE("GetMetadata"),
                                     "metadataId,metadataFlags", {key.id, Vhdx::FlagsText(key.flags)});
  }
  value = std::move(collector.Value());
  return Common::Success();
}

Common::Error MSVhdxVirtualMachineDiskEx::CanSetMetadata(const Fdisk::MetadataKey& key, bool& canSet) {
  canSet = false;
  const std::optional<Vhdx::MetadataDescriptor> descriptor = ParseKey(key);
  if (!descriptor) return InvalidKey("CanSetMetadata");
  SupportQuery query(*descriptor);
  Common::Error error = disk_->Vhdx().Call([&](Vhdx::Disk& disk) { disk.SetMetadata(query); });
  if (!error) canSet = query.Supported();
  return error;
}

Common::Error MSVhdxVirtualMachineDiskEx::SetMetadata(const Fdisk::MetadataKey& key,
                                                      const std::vector<uint8_t>& value) {
  const std::optional<Vhdx::MetadataDescriptor> descriptor = ParseKey(key);
  if (!descriptor) return InvalidKey("SetMetadata");
  if (value.size() > UINT32_MAX)
    return Common::MakeError(Code::kInvalidArguments, Msg::kDiskInvalidArguments, HV_SITE("SetMetadata"));
  ItemProvider provider(*descriptor, value);
  return disk_->Vhdx().Call([&](Vhdx::Disk& disk) { disk.SetMetadata(provider); });
}

}  // namespace VirtualDisks
