#include "core/fdisk/virtual/vhdx/metadata_table.h"

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/space_manager.h"

namespace Vhdx {
namespace {

void WriteTable(WritableFileRegion& region, const std::vector<MetadataEntry>& entries) {
  uint8_t header[32] = {};
  StoreLe64(header, kMetadataSignature);
  StoreLe16(header + 10, static_cast<uint16_t>(entries.size()));
  region.Write({0, sizeof(header)}, header);
  if (entries.empty()) return;
  std::vector<uint8_t> table(entries.size() * kMetadataEntrySize, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* p = table.data() + i * kMetadataEntrySize;
    entries[i].descriptor.id.Store(p);
    StoreLe32(p + 16, entries[i].offset);
    StoreLe32(p + 20, entries[i].length);
    StoreLe32(p + 24, entries[i].descriptor.flags);
  }
  region.Write({32, static_cast<uint32_t>(table.size())}, table.data());
}

void CheckItemLength(uint32_t length) {
  if (length > kMaxMetadataItemLength) HV_THROW(0x3C0016, Msg::kVhdxMetadataLengthInvalid, "CheckProvidedSize");
}

class MetadataReaderImpl final : public MetadataReader {
 public:
  explicit MetadataReaderImpl(std::shared_ptr<ReadOnlyFileRegion> region) : region_(std::move(region)) {}

  void Read(MetadataConsumer& consumer) override {
    std::vector<uint8_t> data;
    const auto* selective = dynamic_cast<const SelectiveMetadataConsumer*>(&consumer);
    for (const MetadataEntry& entry : ReadMetadataTable(*region_)) {
      // An item nobody takes is not read: it goes to the consumer's policy
      // for unhandled items without its data.
      if (selective && !selective->IsSupported(entry.descriptor)) {
        consumer.Consume(entry.descriptor, nullptr, 0);
        continue;
      }
      // Checked before allocating, so a hostile length costs nothing.
      CheckItemLength(entry.length);
      CheckBound(region_->GetArea(), entry.offset, entry.length);
      data.resize(entry.length);
      if (entry.length) region_->Read({entry.offset, entry.length}, data.data());
      consumer.Consume(entry.descriptor, data.data(), entry.length);
    }
  }

 private:
  std::shared_ptr<ReadOnlyFileRegion> region_;
};

class MetadataModifierImpl final : public MetadataModifier {
 public:
  explicit MetadataModifierImpl(std::shared_ptr<ExpandableFileRegion> region) : region_(std::move(region)) {}

  void Set(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    CheckItemLength(size);
    std::vector<MetadataEntry> entries = ReadMetadataTable(*region_);
    AligningSpaceManager space(0, region_->GetArea().length, 1, 1);
    space.Occupy({0, kMetadataTableSize});
    for (const MetadataEntry& entry : entries)
      if (entry.length) space.Occupy({entry.offset, entry.length});

    MetadataEntry* found = nullptr;
    for (MetadataEntry& entry : entries)
      if (entry.descriptor.SameItem(descriptor)) found = &entry;
    if (!found && entries.size() >= kMaxMetadataEntries)
      HV_THROW(0x3C0031, Msg::kVhdxMetadataTooManyEntries, "OccupyFreeSpace");

    SpaceInterval place{0, 0};  // a zero-length item has offset 0
    if (size) {
      if (found && found->length) place = space.Reoccupy(found->offset, size);
      if (place.length == 0) place = OccupyFreeSpace(space, size);
    }
    if (!found) {
      entries.push_back({});
      found = &entries.back();
    }
    found->descriptor = descriptor;
    found->offset = static_cast<uint32_t>(place.offset);
    found->length = size;
    if (size) region_->Write({place.offset, size}, data);
    WriteTable(*region_, entries);
  }

  void Remove(const MetadataDescriptor& descriptor) override {
    std::vector<MetadataEntry> entries = ReadMetadataTable(*region_);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (!it->descriptor.SameItem(descriptor)) continue;
      entries.erase(it);
      WriteTable(*region_, entries);
      return;
    }
  }

 private:
  SpaceInterval OccupyFreeSpace(SpaceManager& space, uint32_t size) {
    SpaceInterval place = space.Allocate(size);
    if (place.length) return place;
    region_->Expand(region_->GetArea().length + size);
    space.SetSize(region_->GetArea().length);
    place = space.Allocate(size);
    if (place.length == 0 || place.offset + place.length > UINT32_MAX)
      HV_THROW(0x3C0031, Msg::kVhdxMetadataNoFreeSpace, "OccupyFreeSpace");
    return place;
  }

  std::shared_ptr<ExpandableFileRegion> region_;
};

class SingleItemProvider final : public MetadataProvider {
 public:
  SingleItemProvider(MetadataDescriptor descriptor, std::vector<uint8_t> data)
      : descriptor_(descriptor), data_(std::move(data)) {}
  void Provide(MetadataConsumer& consumer) override {
    consumer.Consume(descriptor_, data_.data(), static_cast<uint32_t>(data_.size()));
  }

 private:
  MetadataDescriptor descriptor_;
  std::vector<uint8_t> data_;
};

class SettingConsumer final : public MetadataConsumer {
 public:
  explicit SettingConsumer(MetadataModifier& modifier) : modifier_(modifier) {}
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    modifier_.Set(descriptor, data, size);
  }

 private:
  MetadataModifier& modifier_;
};

}  // namespace

std::vector<MetadataEntry> ReadMetadataTable(ReadOnlyFileRegion& region) {
  uint8_t header[32];
  region.Read({0, sizeof(header)}, header);
  if (LoadLe64(header) != kMetadataSignature) HV_THROW(0x3C0012, Msg::kVhdxMetadataSignatureInvalid, "CheckHeader");
  uint32_t count = LoadLe16(header + 10);
  if (count > kMaxMetadataEntries) HV_THROW(0x3C0012, Msg::kVhdxMetadataTooManyEntries, "CheckHeader");
  std::vector<uint8_t> table(count * kMetadataEntrySize);
  if (count) region.Read({32, static_cast<uint32_t>(table.size())}, table.data());
  std::vector<MetadataEntry> entries(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = table.data() + i * kMetadataEntrySize;
    entries[i] = {{Common::Guid::Load(p), LoadLe32(p + 24)}, LoadLe32(p + 16), LoadLe32(p + 20)};
  }
  return entries;
}

std::shared_ptr<MetadataReader> MakeMetadataReader(std::shared_ptr<ReadOnlyFileRegion> region) {
  return std::make_shared<MetadataReaderImpl>(std::move(region));
}

std::shared_ptr<MetadataModifier> MakeMetadataModifier(std::shared_ptr<ExpandableFileRegion> region) {
  return std::make_shared<MetadataModifierImpl>(std::move(region));
}

std::shared_ptr<MetadataProvider> MakeSingleItemProvider(MetadataDescriptor descriptor, std::vector<uint8_t> data) {
  return std::make_shared<SingleItemProvider>(descriptor, std::move(data));
}

std::shared_ptr<MetadataConsumer> MakeSettingConsumer(MetadataModifier& modifier) {
  return std::make_shared<SettingConsumer>(modifier);
}

}  // namespace Vhdx
