// The metadata region: items, consumers that accept them, providers that
// hand them out, and the policies for items nobody recognizes.
//
// Table header at region offset 0 (32 bytes): Signature "metadata" (8),
// Reserved (2), EntryCount (2), Reserved (20).
// Entry i at 32 + 32 i: ItemId (16), Offset (4), Length (4), Flags (4),
// Reserved (4). The table owns region offsets [0, 65536); item data follows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/common/guid.h"
#include "core/fdisk/virtual/vhdx/bat.h"

namespace Vhdx {

inline constexpr uint64_t kMetadataSignature = 0x617461646174656Dull;  // "metadata"
inline constexpr uint32_t kMetadataTableSize = 65536;
inline constexpr uint32_t kMetadataEntrySize = 32;
inline constexpr uint32_t kMaxMetadataEntries = (kMetadataTableSize - 32) / kMetadataEntrySize;  // 2047
// The format allows no item longer than 1 MB.
inline constexpr uint32_t kMaxMetadataItemLength = 1 << 20;

namespace MetadataFlags {
inline constexpr uint32_t kIsUser = 1, kIsVirtualDisk = 2, kIsRequired = 4;
}

extern const Common::Guid kFileParametersGuid;      // CAA16737-FA36-4D43-B3B6-33F0AA44E76B
extern const Common::Guid kVirtualDiskSizeGuid;     // 2FA54224-CD1B-4876-B211-5DBED83BF4B8
extern const Common::Guid kPage83DataGuid;          // BECA12AB-B2E6-4523-93EF-C309E000C746
extern const Common::Guid kLogicalSectorSizeGuid;   // 8141BF1D-A96F-4709-BA47-F233A8FAAB5F
extern const Common::Guid kPhysicalSectorSizeGuid;  // CDA348C7-445D-4471-9CC9-E9885251C556
extern const Common::Guid kParentLocatorGuid;       // A8D35F2D-B30B-454D-ABF7-D3D84834AB0C
extern const Common::Guid kParentLocatorTypeGuid;   // B04AEFB7-D19E-4A81-B789-25B8E9445913

struct MetadataDescriptor {
  Common::Guid id;
  uint32_t flags = 0;

  bool IsUser() const { return flags & MetadataFlags::kIsUser; }
  bool IsRequired() const { return flags & MetadataFlags::kIsRequired; }
  // Same item: equal GUIDs and equal IsUser bits; other flags do not count.
  bool SameItem(const MetadataDescriptor& other) const { return id == other.id && IsUser() == other.IsUser(); }
};

// Values of the known items.
struct FileParameters {
  static constexpr uint32_t kLeaveBlocksAllocated = 1, kHasParent = 2;
  uint32_t blockSize = 0;
  uint32_t flags = 0;
};
struct VirtualDiskSize {
  uint64_t value = 0;
};
struct VirtualDiskLogicalSectorSize {
  uint32_t value = 0;
};
struct VirtualDiskPhysicalSectorSize {
  uint32_t value = 0;
};

// kDiskFixed, kDiskDynamic or kDiskDifferencing (bat.h).
uint32_t DiskKindOf(const FileParameters& parameters);

using ParentLocatorEntries = std::vector<std::pair<std::u16string, std::u16string>>;

class MetadataConsumer {
 public:
  MetadataConsumer() = default;
  MetadataConsumer(const MetadataConsumer&) = delete;
  MetadataConsumer& operator=(const MetadataConsumer&) = delete;
  virtual ~MetadataConsumer() = default;
  virtual void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) = 0;
};

class SelectiveMetadataConsumer : public MetadataConsumer {
 public:
  virtual bool IsSupported(const MetadataDescriptor& descriptor) const = 0;
};

class MetadataConsumerComposite : public SelectiveMetadataConsumer {
 public:
  virtual void Add(std::shared_ptr<SelectiveMetadataConsumer> consumer) = 0;
};

class MetadataProvider {
 public:
  virtual ~MetadataProvider() = default;
  virtual void Provide(MetadataConsumer& consumer) = 0;
};

class MetadataReader {
 public:
  virtual ~MetadataReader() = default;
  virtual void Read(MetadataConsumer& consumer) = 0;
};

class MetadataModifier {
 public:
  virtual ~MetadataModifier() = default;
  virtual void Set(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) = 0;
  virtual void Remove(const MetadataDescriptor& descriptor) = 0;
};

class UnhandledMetadataPolicy {
 public:
  virtual ~UnhandledMetadataPolicy() = default;
  virtual void OnUnhandledMetadata(const MetadataDescriptor& descriptor) = 0;
};

// One value of a known item: accepts only its GUID with IsUser clear and only
// the value's exact size.
template <class T>
class SingleValueMetadataConsumer : public SelectiveMetadataConsumer {
 public:
  SingleValueMetadataConsumer();
  bool IsSupported(const MetadataDescriptor& descriptor) const override;
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override;
  bool HasValue() const { return hasValue_; }
  const T& Value() const { return value_; }

 private:
  Common::Guid id_;
  bool hasValue_ = false;
  T value_{};
};

class ParentLocatorMetadataConsumer : public SelectiveMetadataConsumer {
 public:
  virtual const ParentLocatorEntries& Entries() const = 0;
};

std::shared_ptr<ParentLocatorMetadataConsumer> MakeParentLocatorConsumer();
// Lets the wrapped consumer take one item; a second fails with 0x3C0026.
std::shared_ptr<SelectiveMetadataConsumer> MakeOnceMetadataConsumer(std::shared_ptr<SelectiveMetadataConsumer> inner);
std::shared_ptr<MetadataConsumerComposite> MakeDispatchingComposite(std::shared_ptr<UnhandledMetadataPolicy> policy);
std::shared_ptr<SelectiveMetadataConsumer> MakeMetadataConsumerDelegate(
    std::shared_ptr<SelectiveMetadataConsumer> target);
// Drops the excluded items silently.
std::shared_ptr<MetadataConsumer> MakeFilteringMetadataConsumer(MetadataConsumer& target,
                                                                std::vector<MetadataDescriptor> excluded);
// Refuses the excluded items with 0x3C0037.
std::shared_ptr<SelectiveMetadataConsumer> MakeThrowingSelectiveMetadataConsumer(
    MetadataConsumer& target, std::vector<MetadataDescriptor> excluded);
std::shared_ptr<MetadataProvider> MakeFilteringMetadataProvider(MetadataProvider& inner,
                                                                std::vector<MetadataDescriptor> excluded);
// Accepts the system page 83 item and ignores its value: the disk file has no
// use for it, but a required item nobody takes would refuse the opening.
std::shared_ptr<SelectiveMetadataConsumer> MakePage83MetadataConsumer();
std::shared_ptr<UnhandledMetadataPolicy> MakeThrowOnRequiredUnhandledMetadata();
std::shared_ptr<UnhandledMetadataPolicy> MakeIgnoreUnhandledMetadata();

// The two system items that users may neither see nor set.
std::vector<MetadataDescriptor> ProtectedMetadataItems();

// Value encodings.
std::vector<uint8_t> EncodeFileParameters(const FileParameters& value);
std::vector<uint8_t> EncodeU64(uint64_t value);
std::vector<uint8_t> EncodeU32(uint32_t value);

// Text of a descriptor for messages: {0} the GUID, {1} the flags in decimal.
std::u16string FlagsText(uint32_t flags);

}  // namespace Vhdx
