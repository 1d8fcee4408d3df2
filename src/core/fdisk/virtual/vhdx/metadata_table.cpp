#include "core/fdisk/virtual/vhdx/metadata_table.h"

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/space_manager.h"

namespace Vhdx {
namespace {

constexpr uint32_t kTableHeaderSize = 32;
constexpr uint64_t kFirstSector = 512;

void StoreEntry(uint8_t* p, const MetadataEntry& entry) {
  entry.descriptor.id.Store(p);
  StoreLe32(p + 16, entry.offset);
  StoreLe32(p + 20, entry.length);
  StoreLe32(p + 24, entry.descriptor.flags);
}

// Entry slots [first, end), with the header (whose count is count) when
// first is 0, in one write.
void WriteSlots(WritableFileRegion& region, const std::vector<MetadataEntry>& entries, size_t count, size_t first,
                size_t end) {
  const uint64_t from = first ? kTableHeaderSize + first * uint64_t{kMetadataEntrySize} : 0;
  std::vector<uint8_t> bytes(kTableHeaderSize + end * uint64_t{kMetadataEntrySize} - from, 0);
  uint8_t* slots = bytes.data();
  if (!first) {
    StoreLe64(bytes.data(), kMetadataSignature);
    StoreLe16(bytes.data() + 10, static_cast<uint16_t>(count));
    slots += kTableHeaderSize;
  }
  for (size_t i = first; i < end; ++i) StoreEntry(slots + (i - first) * kMetadataEntrySize, entries[i]);
  region.Write({from, static_cast<uint32_t>(bytes.size())}, bytes.data());
}

void CheckItemLength(uint32_t length) {
  if (length > kMaxMetadataItemLength)
    HV_THROW(Code::kVhdxMetadataLengthInvalid, Msg::kVhdxMetadataLengthInvalid, "CheckProvidedSize");
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

  // The new value goes to free space, never over the value it replaces;
  // after a barrier one entry (or, for a new item, the count) switches to
  // it. A power loss leaves the old value or the new one, each whole.
  void Set(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    CheckItemLength(size);
    std::vector<MetadataEntry> entries = ReadMetadataTable(*region_);
    AligningSpaceManager space(0, region_->GetArea().length, 1, 1);
    space.Occupy({0, kMetadataTableSize});
    for (const MetadataEntry& entry : entries)
      if (entry.length) space.Occupy({entry.offset, entry.length});

    size_t index = entries.size();
    for (size_t i = 0; i < entries.size(); ++i)
      if (entries[i].descriptor.SameItem(descriptor)) index = i;
    const bool added = index == entries.size();
    if (added && entries.size() >= kMaxMetadataEntries)
      HV_THROW(Code::kVhdxMetadataNoFreeSpace, Msg::kVhdxMetadataTooManyEntries, "OccupyFreeSpace");

    SpaceInterval place{0, 0};  // a zero-length item has offset 0
    if (size) {
      place = OccupyFreeSpace(space, size);
      region_->Write({place.offset, size}, data);
    }
    if (added) entries.push_back({});
    entries[index] = {descriptor, static_cast<uint32_t>(place.offset), size};
    // A new entry lies past the count until the count is written.
    if (added) WriteSlots(*region_, entries, index, index, index + 1);
    region_->Flush();
    if (added) {
      WriteSlots(*region_, entries, entries.size(), 0, 0);
    } else {
      WriteSlots(*region_, entries, entries.size(), index, index + 1);
    }
    region_->Flush();
  }

  // The last entry moves into the removed one's slot. Header and slot are
  // one write, which a power loss cannot tear while both lie in the
  // table's first sector (the first 15 entries); further on the slot is
  // written first, so that the moved item may show twice but is never lost.
  void Remove(const MetadataDescriptor& descriptor) override {
    std::vector<MetadataEntry> entries = ReadMetadataTable(*region_);
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!entries[i].descriptor.SameItem(descriptor)) continue;
      entries[i] = entries.back();
      entries.pop_back();
      if (i == entries.size()) {  // it was the last: the count alone
        WriteSlots(*region_, entries, entries.size(), 0, 0);
      } else if (kTableHeaderSize + (i + 1) * uint64_t{kMetadataEntrySize} <= kFirstSector) {
        WriteSlots(*region_, entries, entries.size(), 0, i + 1);
      } else {
        WriteSlots(*region_, entries, entries.size(), i, i + 1);
        region_->Flush();
        WriteSlots(*region_, entries, entries.size(), 0, 0);
      }
      region_->Flush();
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
      HV_THROW(Code::kVhdxMetadataNoFreeSpace, Msg::kVhdxMetadataNoFreeSpace, "OccupyFreeSpace");
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
  if (LoadLe64(header) != kMetadataSignature)
    HV_THROW(Code::kVhdxMetadataTableInvalid, Msg::kVhdxMetadataSignatureInvalid, "CheckHeader");
  uint32_t count = LoadLe16(header + 10);
  if (count > kMaxMetadataEntries)
    HV_THROW(Code::kVhdxMetadataTableInvalid, Msg::kVhdxMetadataTooManyEntries, "CheckHeader");
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
