#include <cstdio>
#include <string>

#include "command.h"
#include "core/common/error.h"

namespace Hvdisk {
namespace {

std::string ItemName(const Vhdx::MetadataDescriptor& descriptor) {
  if (descriptor.IsUser()) return "user";
  const Common::Guid& id = descriptor.id;
  if (id == Vhdx::kFileParametersGuid) return "file parameters";
  if (id == Vhdx::kVirtualDiskSizeGuid) return "virtual disk size";
  if (id == Vhdx::kPage83DataGuid) return "page 83 data";
  if (id == Vhdx::kLogicalSectorSizeGuid) return "logical sector size";
  if (id == Vhdx::kPhysicalSectorSizeGuid) return "physical sector size";
  if (id == Vhdx::kParentLocatorGuid) return "parent locator";
  return "unknown";
}

std::string Num(uint64_t value) { return std::to_string(value); }

}  // namespace

int RunInfo(const Args& input) {
  Args args = input;
  bool json = TakeFlag(args, "--json");
  Require(args.size() == 1, "info");
  auto disk = OpenDisk(args[0], false);
  const Vhdx::DiskFileParts& parts = disk->GetParts();
  Vhdx::WriteGuids guids = disk->GetWriteGuids();

  const std::vector<MetadataItem> items = AllMetadataItems(*disk);
  Vhdx::ParentLocatorEntries locator = disk->GetParentLocatorEntries();

  if (json) {
    std::string out = "{\n";
    out += "  \"file\": " + JsonString(args[0]) + ",\n";
    out += "  \"virtual_size\": " + Num(parts.virtualSize) + ",\n";
    out += "  \"logical_sector_size\": " + Num(parts.logicalSectorSize) + ",\n";
    out += "  \"physical_sector_size\": " + Num(parts.physicalSectorSize) + ",\n";
    out += "  \"block_size\": " + Num(parts.blockSize) + ",\n";
    out += "  \"kind\": " + JsonString(KindName(parts.kind)) + ",\n";
    out += "  \"kind_code\": " + Num(parts.kind) + ",\n";
    out += "  \"data_write_guid\": " + JsonString(GuidText(guids.dataWriteGuid)) + ",\n";
    out += "  \"file_write_guid\": " + JsonString(GuidText(guids.fileWriteGuid)) + ",\n";
    out += std::string("  \"log_replayed\": ") + (parts.logReplayed ? "true" : "false") + ",\n";
    out += "  \"parent_locator\": [";
    for (size_t i = 0; i < locator.size(); ++i) {
      out += (i ? ", " : "") + std::string("{\"key\": ") + JsonString(Common::Utf16ToUtf8(locator[i].first)) +
             ", \"value\": " + JsonString(Common::Utf16ToUtf8(locator[i].second)) + "}";
    }
    out += "],\n  \"metadata\": [";
    for (size_t i = 0; i < items.size(); ++i) {
      const MetadataItem& item = items[i];
      out += std::string(i ? "," : "") + "\n    {\"id\": " + JsonString(GuidText(item.descriptor.id)) +
             ", \"flags\": " + Num(item.descriptor.flags) + ", \"length\": " + Num(item.data.size()) +
             ", \"name\": " + JsonString(ItemName(item.descriptor)) +
             ", \"value\": " + JsonString(Hex(item.data.data(), item.data.size())) + "}";
    }
    out += items.empty() ? "]\n}\n" : "\n  ]\n}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
  }

  std::printf("file:                 %s\n", args[0].c_str());
  std::printf("kind:                 %s (%u)\n", KindName(parts.kind).c_str(), parts.kind);
  std::printf("virtual size:         %llu bytes\n", static_cast<unsigned long long>(parts.virtualSize));
  std::printf("logical sector size:  %u\n", parts.logicalSectorSize);
  std::printf("physical sector size: %u\n", parts.physicalSectorSize);
  std::printf("block size:           %u\n", parts.blockSize);
  std::printf("data write guid:      %s\n", GuidText(guids.dataWriteGuid).c_str());
  std::printf("file write guid:      %s\n", GuidText(guids.fileWriteGuid).c_str());
  std::printf("log replayed:         %s\n", parts.logReplayed ? "yes (in memory; the file is unchanged)" : "no");
  std::printf("parent locator:       %s\n", locator.empty() ? "none" : "");
  for (const auto& [key, value] : locator)
    std::printf("  %s = %s\n", Common::Utf16ToUtf8(key).c_str(), Common::Utf16ToUtf8(value).c_str());
  std::printf("metadata items:       %zu\n", items.size());
  for (const MetadataItem& item : items) {
    std::string value = item.data.size() <= 32 ? Hex(item.data.data(), item.data.size()) : "...";
    std::printf("  %s flags %u length %zu (%s) %s\n", GuidText(item.descriptor.id).c_str(), item.descriptor.flags,
                item.data.size(), ItemName(item.descriptor).c_str(), value.c_str());
  }
  return 0;
}

}  // namespace Hvdisk
