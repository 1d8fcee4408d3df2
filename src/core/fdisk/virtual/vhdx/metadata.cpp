#include "core/fdisk/virtual/vhdx/metadata.h"

#include <string>

#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/le_bytes.h"

namespace Vhdx {
namespace {

Common::Guid Known(const char* text) { return *Common::ParseGuid(text); }

[[noreturn]] void ThrowWithDescriptor(uint32_t code, Common::MessageId message, const Common::ErrorSite& site,
                                      const MetadataDescriptor& descriptor) {
  Common::Throw(Common::MakeErrorWithArgs(code, message, site, "metadataId,metadataFlags",
                                          {Common::GuidToWideText(descriptor.id), FlagsText(descriptor.flags)}));
}

bool IsExcluded(const std::vector<MetadataDescriptor>& excluded, const MetadataDescriptor& descriptor) {
  for (const auto& item : excluded)
    if (item.SameItem(descriptor)) return true;
  return false;
}

template <class T>
struct ValueTraits;
template <>
struct ValueTraits<FileParameters> {
  static constexpr uint32_t kSize = 8;
  static const Common::Guid& Id() { return kFileParametersGuid; }
  static FileParameters Parse(const uint8_t* p) { return {LoadLe32(p), LoadLe32(p + 4)}; }
};
template <>
struct ValueTraits<VirtualDiskSize> {
  static constexpr uint32_t kSize = 8;
  static const Common::Guid& Id() { return kVirtualDiskSizeGuid; }
  static VirtualDiskSize Parse(const uint8_t* p) { return {LoadLe64(p)}; }
};
template <>
struct ValueTraits<VirtualDiskLogicalSectorSize> {
  static constexpr uint32_t kSize = 4;
  static const Common::Guid& Id() { return kLogicalSectorSizeGuid; }
  static VirtualDiskLogicalSectorSize Parse(const uint8_t* p) { return {LoadLe32(p)}; }
};
template <>
struct ValueTraits<VirtualDiskPhysicalSectorSize> {
  static constexpr uint32_t kSize = 4;
  static const Common::Guid& Id() { return kPhysicalSectorSizeGuid; }
  static VirtualDiskPhysicalSectorSize Parse(const uint8_t* p) { return {LoadLe32(p)}; }
};

void CheckSupported(const SelectiveMetadataConsumer& consumer, const MetadataDescriptor& descriptor) {
  if (!consumer.IsSupported(descriptor))
    ThrowWithDescriptor(Code::kVhdxMetadataUnsupported, Msg::kVhdxMetadataUnsupported, HV_SITE("CheckSupported"),
                        descriptor);
}

class ParentLocatorMetadataConsumerImpl final : public ParentLocatorMetadataConsumer {
 public:
  bool IsSupported(const MetadataDescriptor& descriptor) const override {
    return descriptor.id == kParentLocatorGuid && !descriptor.IsUser();
  }
  const ParentLocatorEntries& Entries() const override { return entries_; }

  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    CheckSupported(*this, descriptor);
    if (size < 20) HV_THROW(Code::kVhdxParentLocatorOutOfBounds, Msg::kVhdxParentLocatorOutOfBounds, "CheckBound");
    Common::Guid type = Common::Guid::Load(data);
    if (!(type == kParentLocatorTypeGuid)) {
      HV_THROW_ARGS(Code::kVhdxParentLocatorTypeUnknown, Msg::kVhdxParentLocatorTypeUnknown, "CheckHeader",
                    "locatorType", {Common::GuidToWideText(type)});
    }
    uint32_t count = LoadLe16(data + 18);
    if (size < 20 + 12ull * count)
      HV_THROW(Code::kVhdxParentLocatorOutOfBounds, Msg::kVhdxParentLocatorOutOfBounds, "CheckBound");
    ParentLocatorEntries entries;
    entries.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* entry = data + 20 + 12 * i;
      uint64_t keyOffset = LoadLe32(entry), valueOffset = LoadLe32(entry + 4);
      uint32_t keyLength = LoadLe16(entry + 8), valueLength = LoadLe16(entry + 10);
      if (keyOffset + keyLength > size || valueOffset + valueLength > size)
        HV_THROW(Code::kVhdxParentLocatorOutOfBounds, Msg::kVhdxParentLocatorOutOfBounds, "CheckBound");
      entries.emplace_back(Text(data + keyOffset, keyLength), Text(data + valueOffset, valueLength));
    }
    entries_ = std::move(entries);
  }

 private:
  static std::u16string Text(const uint8_t* p, uint32_t bytes) {
    std::u16string text(bytes / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(LoadLe16(p + 2 * i));
    return text;
  }

  ParentLocatorEntries entries_;
};

class OnceMetadataConsumer final : public SelectiveMetadataConsumer {
 public:
  explicit OnceMetadataConsumer(std::shared_ptr<SelectiveMetadataConsumer> inner) : inner_(std::move(inner)) {}
  bool IsSupported(const MetadataDescriptor& descriptor) const override { return inner_->IsSupported(descriptor); }
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    if (consumed_) {
      HV_THROW_ARGS(Code::kVhdxMetadataMultiple, Msg::kVhdxMetadataMultiple, "Consume", "metadataId",
                    {Common::GuidToWideText(descriptor.id)});
    }
    inner_->Consume(descriptor, data, size);
    consumed_ = true;  // InitialState -> MetaHasBeenSetState
  }

 private:
  std::shared_ptr<SelectiveMetadataConsumer> inner_;
  bool consumed_ = false;
};

class DispatchingComposite final : public MetadataConsumerComposite {
 public:
  explicit DispatchingComposite(std::shared_ptr<UnhandledMetadataPolicy> policy) : policy_(std::move(policy)) {}
  void Add(std::shared_ptr<SelectiveMetadataConsumer> consumer) override { children_.push_back(std::move(consumer)); }
  bool IsSupported(const MetadataDescriptor& descriptor) const override {
    for (const auto& child : children_)
      if (child->IsSupported(descriptor)) return true;
    return false;
  }
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    bool handled = false;
    for (const auto& child : children_) {
      if (!child->IsSupported(descriptor)) continue;
      child->Consume(descriptor, data, size);
      handled = true;
    }
    if (!handled) policy_->OnUnhandledMetadata(descriptor);
  }

 private:
  std::shared_ptr<UnhandledMetadataPolicy> policy_;
  std::vector<std::shared_ptr<SelectiveMetadataConsumer>> children_;
};

class MetadataConsumerDelegate final : public SelectiveMetadataConsumer {
 public:
  explicit MetadataConsumerDelegate(std::shared_ptr<SelectiveMetadataConsumer> target) : target_(std::move(target)) {}
  bool IsSupported(const MetadataDescriptor& descriptor) const override {
    return target_ && target_->IsSupported(descriptor);
  }
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    if (!target_)
      ThrowWithDescriptor(Code::kVhdxMetadataUnsupported, Msg::kVhdxMetadataUnsupported, HV_SITE("CheckSupported"),
                          descriptor);
    target_->Consume(descriptor, data, size);
  }

 private:
  std::shared_ptr<SelectiveMetadataConsumer> target_;
};

class FilteringMetadataConsumer final : public MetadataConsumer {
 public:
  FilteringMetadataConsumer(MetadataConsumer& target, std::vector<MetadataDescriptor> excluded)
      : target_(target), excluded_(std::move(excluded)) {}
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    if (!IsExcluded(excluded_, descriptor)) target_.Consume(descriptor, data, size);
  }

 private:
  MetadataConsumer& target_;
  std::vector<MetadataDescriptor> excluded_;
};

class ThrowingSelectiveMetadataConsumer final : public SelectiveMetadataConsumer {
 public:
  ThrowingSelectiveMetadataConsumer(MetadataConsumer& target, std::vector<MetadataDescriptor> excluded)
      : target_(target), excluded_(std::move(excluded)) {}
  bool IsSupported(const MetadataDescriptor& descriptor) const override {
    if (IsExcluded(excluded_, descriptor)) return false;
    auto* selective = dynamic_cast<SelectiveMetadataConsumer*>(&target_);
    return selective ? selective->IsSupported(descriptor) : true;
  }
  void Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    if (IsExcluded(excluded_, descriptor))
      ThrowWithDescriptor(Code::kVhdxMetadataNotAllowed, Msg::kVhdxMetadataNotAllowed, HV_SITE("Consume"), descriptor);
    target_.Consume(descriptor, data, size);
  }

 private:
  MetadataConsumer& target_;
  std::vector<MetadataDescriptor> excluded_;
};

class FilteringMetadataProvider final : public MetadataProvider {
 public:
  FilteringMetadataProvider(MetadataProvider& inner, std::vector<MetadataDescriptor> excluded)
      : inner_(inner), excluded_(std::move(excluded)) {}
  void Provide(MetadataConsumer& consumer) override {
    ThrowingSelectiveMetadataConsumer filter(consumer, excluded_);
    inner_.Provide(filter);
  }

 private:
  MetadataProvider& inner_;
  std::vector<MetadataDescriptor> excluded_;
};

class ThrowOnRequiredUnhandledMetadata final : public UnhandledMetadataPolicy {
 public:
  void OnUnhandledMetadata(const MetadataDescriptor& descriptor) override {
    if (descriptor.IsRequired())
      ThrowWithDescriptor(Code::kVhdxMetadataRequired, Msg::kVhdxMetadataRequired, HV_SITE("OnUnhandledMetadata"),
                          descriptor);
  }
};

class IgnoreUnhandledMetadata final : public UnhandledMetadataPolicy {
 public:
  void OnUnhandledMetadata(const MetadataDescriptor&) override {}
};

}  // namespace

const Common::Guid kFileParametersGuid = Known("CAA16737-FA36-4D43-B3B6-33F0AA44E76B");
const Common::Guid kVirtualDiskSizeGuid = Known("2FA54224-CD1B-4876-B211-5DBED83BF4B8");
const Common::Guid kPage83DataGuid = Known("BECA12AB-B2E6-4523-93EF-C309E000C746");
const Common::Guid kLogicalSectorSizeGuid = Known("8141BF1D-A96F-4709-BA47-F233A8FAAB5F");
const Common::Guid kPhysicalSectorSizeGuid = Known("CDA348C7-445D-4471-9CC9-E9885251C556");
const Common::Guid kParentLocatorGuid = Known("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C");
const Common::Guid kParentLocatorTypeGuid = Known("B04AEFB7-D19E-4A81-B789-25B8E9445913");

uint32_t DiskKindOf(const FileParameters& parameters) {
  if (parameters.flags & FileParameters::kHasParent) return kDiskDifferencing;
  if (parameters.flags & FileParameters::kLeaveBlocksAllocated) return kDiskFixed;
  return kDiskDynamic;
}

template <class T>
SingleValueMetadataConsumer<T>::SingleValueMetadataConsumer() : id_(ValueTraits<T>::Id()) {}

template <class T>
bool SingleValueMetadataConsumer<T>::IsSupported(const MetadataDescriptor& descriptor) const {
  return descriptor.id == id_ && !descriptor.IsUser();
}

template <class T>
void SingleValueMetadataConsumer<T>::Consume(const MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) {
  CheckSupported(*this, descriptor);
  if (size != ValueTraits<T>::kSize)
    HV_THROW(Code::kVhdxMetadataLengthInvalid, Msg::kVhdxMetadataLengthInvalid, "CheckProvidedSize");
  value_ = ValueTraits<T>::Parse(data);
  hasValue_ = true;
}

template class SingleValueMetadataConsumer<FileParameters>;
template class SingleValueMetadataConsumer<VirtualDiskSize>;
template class SingleValueMetadataConsumer<VirtualDiskLogicalSectorSize>;
template class SingleValueMetadataConsumer<VirtualDiskPhysicalSectorSize>;

std::shared_ptr<ParentLocatorMetadataConsumer> MakeParentLocatorConsumer() {
  return std::make_shared<ParentLocatorMetadataConsumerImpl>();
}
std::shared_ptr<SelectiveMetadataConsumer> MakeOnceMetadataConsumer(std::shared_ptr<SelectiveMetadataConsumer> inner) {
  return std::make_shared<OnceMetadataConsumer>(std::move(inner));
}
std::shared_ptr<MetadataConsumerComposite> MakeDispatchingComposite(std::shared_ptr<UnhandledMetadataPolicy> policy) {
  return std::make_shared<DispatchingComposite>(std::move(policy));
}
std::shared_ptr<SelectiveMetadataConsumer> MakeMetadataConsumerDelegate(
    std::shared_ptr<SelectiveMetadataConsumer> target) {
  return std::make_shared<MetadataConsumerDelegate>(std::move(target));
}
std::shared_ptr<MetadataConsumer> MakeFilteringMetadataConsumer(MetadataConsumer& target,
                                                                std::vector<MetadataDescriptor> excluded) {
  return std::make_shared<FilteringMetadataConsumer>(target, std::move(excluded));
}
std::shared_ptr<SelectiveMetadataConsumer> MakeThrowingSelectiveMetadataConsumer(
    MetadataConsumer& target, std::vector<MetadataDescriptor> excluded) {
  return std::make_shared<ThrowingSelectiveMetadataConsumer>(target, std::move(excluded));
}
std::shared_ptr<MetadataProvider> MakeFilteringMetadataProvider(MetadataProvider& inner,
                                                                std::vector<MetadataDescriptor> excluded) {
  return std::make_shared<FilteringMetadataProvider>(inner, std::move(excluded));
}
namespace {
class Page83MetadataConsumer final : public SelectiveMetadataConsumer {
 public:
  bool IsSupported(const MetadataDescriptor& descriptor) const override {
    return descriptor.id == kPage83DataGuid && !descriptor.IsUser();
  }
  void Consume(const MetadataDescriptor&, const uint8_t*, uint32_t) override {}
};
}  // namespace
std::shared_ptr<SelectiveMetadataConsumer> MakePage83MetadataConsumer() {
  return std::make_shared<Page83MetadataConsumer>();
}
std::shared_ptr<UnhandledMetadataPolicy> MakeThrowOnRequiredUnhandledMetadata() {
  return std::make_shared<ThrowOnRequiredUnhandledMetadata>();
}
std::shared_ptr<UnhandledMetadataPolicy> MakeIgnoreUnhandledMetadata() {
  return std::make_shared<IgnoreUnhandledMetadata>();
}

std::vector<MetadataDescriptor> ProtectedMetadataItems() {
  return {{kFileParametersGuid, MetadataFlags::kIsRequired}, {kParentLocatorGuid, MetadataFlags::kIsRequired}};
}

std::vector<uint8_t> EncodeFileParameters(const FileParameters& value) {
  std::vector<uint8_t> bytes(8);
  StoreLe32(bytes.data(), value.blockSize);
  StoreLe32(bytes.data() + 4, value.flags);
  return bytes;
}
std::vector<uint8_t> EncodeU64(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  StoreLe64(bytes.data(), value);
  return bytes;
}
std::vector<uint8_t> EncodeU32(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  StoreLe32(bytes.data(), value);
  return bytes;
}

std::u16string FlagsText(uint32_t flags) { return Common::Utf8ToUtf16(std::to_string(flags)); }

}  // namespace Vhdx
