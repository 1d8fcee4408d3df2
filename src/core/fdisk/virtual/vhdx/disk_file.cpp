#include "core/fdisk/virtual/vhdx/disk_file.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/allocator.h"
#include "core/fdisk/virtual/vhdx/bat.h"
#include "core/fdisk/virtual/vhdx/bat_placement.h"
#include "core/fdisk/virtual/vhdx/file_region.h"
#include "core/fdisk/virtual/vhdx/header.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"
#include "core/fdisk/virtual/vhdx/log.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/non_persistent_file.h"
#include "core/fdisk/virtual/vhdx/read_path.h"

namespace Vhdx {
namespace {

constexpr uint64_t kMB = 1 << 20;

std::u16string Dec(uint64_t value) { return Common::Utf8ToUtf16(std::to_string(value)); }

[[noreturn]] void ThrowBadParameter(const char* name, uint64_t value) {
  HV_THROW_ARGS(Code::kVhdxInvalidDiskParameter, Msg::kVhdxInvalidDiskParameter, "Init", "parameter,value",
                {Common::Utf8ToUtf16(name), Dec(value)});
}

bool IsPowerOfTwo(uint64_t value) { return value && !(value & (value - 1)); }

DataPathLayout DataPathLayoutOf(const DiskFileParts& parts) {
  DataPathLayout layout;
  layout.virtualSize = parts.virtualSize;
  layout.logicalSectorSize = parts.logicalSectorSize;
  layout.blockSize = parts.blockSize;
  layout.diskKind = parts.kind;
  layout.batOffset = parts.batRegion.fileOffset;
  layout.batLength = parts.batRegion.length;
  layout.metadataOffset = parts.metadataRegion.fileOffset;
  layout.metadataLength = parts.metadataRegion.length;
  layout.logReplayed = parts.logReplayed;
  return layout;
}

// Rewrites the region table entry of a region that moved or grew.
class UpdatingRegionMonitor final : public ExpansionMonitor {
 public:
  UpdatingRegionMonitor(std::shared_ptr<File> rawFile, Common::Guid guid, RegionEntry& stored)
      : rawFile_(std::move(rawFile)), guid_(guid), stored_(stored) {}

  void OnExpanded(const FileArea&, const FileArea& newArea) override {
    if (newArea.length > UINT32_MAX) HV_THROW(Code::kVhdxRegionOutOfBounds, Msg::kVhdxRegionOutOfBounds, "OnExpanded");
    RegionTable table = RegionTable::Read(*rawFile_);
    RegionEntry* entry = nullptr;
    for (RegionEntry& candidate : table.entries)
      if (candidate.guid == guid_ && !entry) entry = &candidate;
    if (!entry) {
      table.entries.push_back({guid_, 0, 0, 1});
      entry = &table.entries.back();
    }
    entry->fileOffset = newArea.offset;
    entry->length = static_cast<uint32_t>(newArea.length);
    table.Write(*rawFile_);
    stored_ = *entry;
  }

 private:
  std::shared_ptr<File> rawFile_;
  Common::Guid guid_;
  RegionEntry& stored_;
};

class DiskFileImpl final : public DiskFile {
 public:
  DiskFileImpl(std::shared_ptr<FileAssembly> files, bool logReplayed, bool writable) {
    parts_.files = std::move(files);
    parts_.logReplayed = logReplayed;
    parts_.writable = writable;
  }

  void Init(const std::shared_ptr<SelectiveMetadataConsumer>& extra) {
    File& raw = *parts_.files->RawFile();
    HeaderInfo header = HeaderInfo::Read(raw);
    writeGuids_ = {header.dataWriteGuid, header.fileWriteGuid};

    RegionTable table = RegionTable::Read(raw);
    parts_.batRegion = GetRegionEntryById(table, kBatRegionGuid);
    parts_.metadataRegion = GetRegionEntryById(table, kMetadataRegionGuid);
    parts_.reserved = {{0, kMB}, {header.logOffset, header.logLength}};
    for (const RegionEntry& region : table.entries) parts_.reserved.push_back({region.fileOffset, region.length});

    auto logical = std::make_shared<SingleValueMetadataConsumer<VirtualDiskLogicalSectorSize>>();
    auto physical = std::make_shared<SingleValueMetadataConsumer<VirtualDiskPhysicalSectorSize>>();
    auto parameters = std::make_shared<SingleValueMetadataConsumer<FileParameters>>();
    auto size = std::make_shared<SingleValueMetadataConsumer<VirtualDiskSize>>();
    auto locator = MakeParentLocatorConsumer();
    auto composite = MakeDispatchingComposite(MakeThrowOnRequiredUnhandledMetadata());
    composite->Add(MakeOnceMetadataConsumer(logical));
    composite->Add(MakeOnceMetadataConsumer(physical));
    composite->Add(MakeOnceMetadataConsumer(parameters));
    composite->Add(MakeOnceMetadataConsumer(size));
    composite->Add(locator);
    composite->Add(MakeMetadataConsumerDelegate(extra));
    MakeMetadataReader(MetadataRegion())->Read(*composite);

    if (!logical->HasValue()) HV_THROW(Code::kVhdxLogicalSectorSizeMissing, Msg::kVhdxLogicalSectorSizeMissing, "Init");
    if (!size->HasValue()) HV_THROW(Code::kVhdxDiskSizeMissing, Msg::kVhdxDiskSizeMissing, "Init");
    if (!parameters->HasValue()) HV_THROW(Code::kVhdxFileParametersMissing, Msg::kVhdxFileParametersMissing, "Init");

    parts_.logicalSectorSize = logical->Value().value;
    parts_.physicalSectorSize = physical->HasValue() ? physical->Value().value : 0;
    parts_.virtualSize = size->Value().value;
    parts_.blockSize = parameters->Value().blockSize;
    parts_.kind = DiskKindOf(parameters->Value());
    CheckParameters();
    locatorEntries_ = locator->Entries();
    // The data path comes last: placing the blocks validates the table.
    data_ =
        std::make_unique<DataPath>(DataPathLayoutOf(parts_), parts_.files->StructureFile(), parts_.files->DataFile());
    data_->PlaceBlocks(parts_.reserved, parts_.writable);
  }

  uint32_t GetKind() const override { return parts_.kind; }
  WriteGuids GetWriteGuids() const override { return writeGuids_; }
  DiskGeometry GetGeometry() const override { return {parts_.virtualSize, parts_.logicalSectorSize}; }
  ParentLocatorEntries GetParentLocatorEntries() const override { return locatorEntries_; }

  void GetMetadata(MetadataConsumer& consumer) override {
    auto filter = MakeFilteringMetadataConsumer(consumer, ProtectedMetadataItems());
    MakeMetadataReader(MetadataRegion())->Read(*filter);
  }
  void SetMetadata(MetadataProvider& provider) override {
    auto filtered = MakeFilteringMetadataProvider(provider, ProtectedMetadataItems());
    auto setter = MakeSettingConsumer(Modifier());
    MetadataChange change(*this);
    filtered->Provide(*setter);
  }
  void RemoveMetadata(const MetadataDescriptor& descriptor) override {
    // The system items stay out of users' reach for removal as well.
    for (const MetadataDescriptor& item : ProtectedMetadataItems()) {
      if (item.SameItem(descriptor)) {
        HV_THROW_ARGS(Code::kVhdxMetadataNotAllowed, Msg::kVhdxMetadataNotAllowed, "RemoveMetadata",
                      "metadataId,metadataFlags", {Common::GuidToWideText(descriptor.id), FlagsText(descriptor.flags)});
      }
    }
    MetadataChange change(*this);
    Modifier().Remove(descriptor);
  }

  void ReadSectors(uint64_t firstSector, Vhd::Bitmap& needed, uint8_t* buffer) override {
    data_->Read(firstSector, needed, buffer);
  }
  void WriteSectors(uint64_t firstSector, uint64_t count, const uint8_t* buffer) override {
    data_->Write(firstSector, count, buffer);
  }
  void CollectChangedAreas(Vhd::ChangedFile& changes, Vhd::Collector<Vhd::DiskArea>& collector) override {
    data_->CollectChangedAreas(changes, collector);
  }
  const DiskFileParts& GetParts() const override { return parts_; }

 private:
  std::shared_ptr<ReadOnlyFileRegion> MetadataRegion() {
    const RegionEntry& entry = parts_.metadataRegion;
    File& file = *parts_.files->StructureFile();
    // Item data is read into memory: the region must lie in the file, which
    // bounds what a hostile table can make us allocate.
    if (entry.fileOffset > file.GetSize() || entry.length > file.GetSize() - entry.fileOffset)
      HV_THROW(Code::kEndOfFile, Msg::kFileEndReached, "Init");
    return MakeReadOnlyFileRegion(parts_.files->StructureFile(), {entry.fileOffset, entry.length});
  }

  // Tells the data path, however the change ends, that the metadata changed.
  class MetadataChange {
   public:
    explicit MetadataChange(DiskFileImpl& disk) : disk_(disk) {}
    ~MetadataChange() {
      const RegionEntry& region = disk_.parts_.metadataRegion;
      disk_.data_->SetMetadataRegion(region.fileOffset, region.length);
    }

   private:
    DiskFileImpl& disk_;
  };

  MetadataModifier& Modifier() {
    if (!modifier_) {
      auto structure = parts_.files->StructureFile();
      // A grown region goes after the end of everything the file holds.
      auto allocator = std::make_shared<AtEndOfFileAllocator>(
          std::make_shared<PlacementEndFile>(structure, data_->Placement()), kMB, kMB);
      auto monitor =
          std::make_shared<UpdatingRegionMonitor>(parts_.files->RawFile(), kMetadataRegionGuid, parts_.metadataRegion);
      auto region = MakeExpandableFileRegion(
          structure, {parts_.metadataRegion.fileOffset, parts_.metadataRegion.length}, allocator, monitor);
      modifier_ = MakeMetadataModifier(region);
    }
    return *modifier_;
  }

  // Rules of the published format that the data path relies on (no division
  // by zero, chunk ratio at least 1, sector counts that fit).
  void CheckParameters() const {
    if (parts_.logicalSectorSize != 512 && parts_.logicalSectorSize != 4096)
      ThrowBadParameter("LogicalSectorSize", parts_.logicalSectorSize);
    if (parts_.physicalSectorSize != 0 && parts_.physicalSectorSize != 512 && parts_.physicalSectorSize != 4096)
      ThrowBadParameter("PhysicalSectorSize", parts_.physicalSectorSize);
    if (!IsPowerOfTwo(parts_.blockSize) || parts_.blockSize < kMB || parts_.blockSize > 256 * kMB)
      ThrowBadParameter("BlockSize", parts_.blockSize);
    if (parts_.virtualSize % parts_.logicalSectorSize != 0 || parts_.virtualSize > (64ull << 40))
      ThrowBadParameter("VirtualDiskSize", parts_.virtualSize);
  }

  DiskFileParts parts_;
  WriteGuids writeGuids_;
  ParentLocatorEntries locatorEntries_;
  std::unique_ptr<DataPath> data_;
  std::shared_ptr<MetadataModifier> modifier_;
};

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// A new file is made durable once, when it is complete: the barriers that
// order the changes of a file in use serve nothing while it is laid out.
class LayoutFile final : public FileDecorator {
 public:
  using FileDecorator::FileDecorator;
  void Flush() override {}
};

}  // namespace

std::shared_ptr<DiskFile> OpenDiskFileReadOnly(std::shared_ptr<CoreFile> file,
                                               std::shared_ptr<SelectiveMetadataConsumer> extra) {
  auto raw = std::make_shared<ReadOnlyFile>(std::move(file));
  CheckVersion(*raw);
  auto overlay = std::make_shared<NonPersistentFileWrapper>(raw);
  bool replayed = PlayLog(*overlay);
  auto assembly = MakeReadOnlyFileAssembly(std::make_shared<WriteProtectedFile>(overlay));
  auto disk = std::make_shared<DiskFileImpl>(assembly, replayed, false);
  disk->Init(extra);
  return disk;
}

std::shared_ptr<DiskFile> OpenDiskFileWritable(std::shared_ptr<CoreFile> file,
                                               std::shared_ptr<SelectiveMetadataConsumer> extra) {
  auto raw = std::make_shared<WriteableFile>(std::move(file));
  CheckVersion(*raw);
  auto assembly = MakeWritableFileAssembly(raw);
  bool replayed = PlayLog(*assembly->StructureFile());
  auto disk = std::make_shared<DiskFileImpl>(assembly, replayed, true);
  disk->Init(extra);
  return disk;
}

void WriteNewDiskFile(File& file, const NewDiskParameters& parameters) {
  constexpr uint32_t kBlockSize = 4 * kMB;
  constexpr uint64_t kLogOffset = kMB, kMetadataOffset = 2 * kMB, kBatOffset = 3 * kMB;
  const uint32_t ratio = static_cast<uint32_t>((uint64_t{parameters.logicalSectorSize} << 23) / kBlockSize);
  const uint64_t entries = BatEntryCount(parameters.virtualSize, parameters.logicalSectorSize, kBlockSize);
  // A region is never empty, even for a disk of 0 bytes.
  const uint64_t batLength = std::max<uint64_t>(RoundUp(entries * 8, kMB), kMB);
  const uint64_t firstPayload = kBatOffset + batLength;
  const uint64_t payload = parameters.fixed ? RoundUp(parameters.virtualSize, kBlockSize) : 0;

  file.WriteZero(0, firstPayload + payload);

  uint8_t tableHeader[32] = {};
  std::memcpy(tableHeader, "metadata", 8);
  file.Write(kMetadataOffset, sizeof(tableHeader), tableHeader);

  auto layout = std::make_shared<LayoutFile>(std::shared_ptr<File>(&file, [](File*) {}));
  auto modifier =
      MakeMetadataModifier(MakeThrowingExpandableFileRegion(MakeWritableFileRegion(layout, {kMetadataOffset, kMB})));
  auto set = [&](const Common::Guid& id, uint32_t flags, const std::vector<uint8_t>& value) {
    modifier->Set({id, flags}, value.data(), static_cast<uint32_t>(value.size()));
  };
  constexpr uint32_t kSystem = MetadataFlags::kIsVirtualDisk | MetadataFlags::kIsRequired;
  set(kFileParametersGuid, MetadataFlags::kIsRequired,
      EncodeFileParameters({kBlockSize, parameters.fixed ? FileParameters::kLeaveBlocksAllocated : 0u}));
  set(kVirtualDiskSizeGuid, kSystem, EncodeU64(parameters.virtualSize));
  std::vector<uint8_t> page83(16);
  Common::GenerateGuid().Store(page83.data());
  set(kPage83DataGuid, kSystem, page83);
  set(kLogicalSectorSizeGuid, kSystem, EncodeU32(parameters.logicalSectorSize));
  set(kPhysicalSectorSizeGuid, kSystem, EncodeU32(4096));

  WriteFileId(file);
  HeaderInfo header;
  header.fileWriteGuid = Common::GenerateGuid();
  header.dataWriteGuid = Common::GenerateGuid();
  header.logLength = kMB;
  header.logOffset = kLogOffset;
  header.Write(file);

  RegionTable table;
  table.entries.push_back({kMetadataRegionGuid, kMetadataOffset, static_cast<uint32_t>(kMB), 1});
  table.entries.push_back({kBatRegionGuid, kBatOffset, static_cast<uint32_t>(batLength), 1});
  table.Write(*layout);

  if (!parameters.fixed || entries == 0) return;
  constexpr uint64_t kPieceEntries = kMB / 8;
  std::vector<uint8_t> piece(kMB);
  for (uint64_t first = 0; first < entries; first += kPieceEntries) {
    std::fill(piece.begin(), piece.end(), 0);
    uint64_t count = std::min(kPieceEntries, entries - first);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t index = first + i;
      if ((index + 1) % (ratio + 1) == 0) continue;  // sector bitmap entry stays 0
      uint64_t block = index - index / (ratio + 1);
      uint64_t offsetMB = (firstPayload + block * kBlockSize) >> 20;
      StoreLe64(piece.data() + i * 8, (offsetMB << 20) | 6);  // PAYLOAD_BLOCK_FULLY_PRESENT
    }
    file.Write(kBatOffset + first * 8, piece.size(), piece.data());
  }
}

Common::Error CreateDiskFile(std::shared_ptr<CoreFile> created, const NewDiskParameters& parameters) {
  Common::Error failure = Common::MakeError(Code::kVhdxCreateFailed, Msg::kVhdxCreateFailed, HV_SITE("Create"));
  if (!created) return failure;
  try {
    WriteableFile file(std::move(created));
    WriteNewDiskFile(file, parameters);
    file.Flush();
  } catch (const Common::Error& error) {
    return Common::Wrap(failure, error);
  }
  return Common::Success();
}

}  // namespace Vhdx
