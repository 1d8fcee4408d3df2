#include <cstdio>
#include <string>

#include "command.h"
#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"

namespace Hvdisk {
namespace {

uint32_t ParseFlags(Args& args) {
  auto text = TakeOption(args, "--flags");
  if (!text) return Vhdx::MetadataFlags::kIsUser;
  char* end = nullptr;
  unsigned long value = std::strtoul(text->c_str(), &end, 0);
  if (text->empty() || *end || value > 7) {
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxInvalidMetadataValue, "ParseFlags", "value",
                  {Common::Utf8ToUtf16(*text)});
  }
  return static_cast<uint32_t>(value);
}

std::vector<uint8_t> ParseHex(const std::string& text) {
  auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxInvalidMetadataValue, "ParseHex", "value",
                  {Common::Utf8ToUtf16(text)});
  };
  if (text.size() % 2)
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxInvalidMetadataValue, "ParseHex", "value",
                  {Common::Utf8ToUtf16(text)});
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
  return bytes;
}

int List(Args& args) {
  Require(args.size() == 1, "meta list");
  auto disk = OpenDisk(args[0], false);
  for (const MetadataItem& item : UserMetadataItems(*disk)) {
    std::printf("%s flags %u length %zu %s\n", GuidText(item.descriptor.id).c_str(), item.descriptor.flags,
                item.data.size(), item.data.size() <= 64 ? Hex(item.data.data(), item.data.size()).c_str() : "...");
  }
  return 0;
}

int Get(Args& args) {
  bool raw = TakeFlag(args, "--raw");
  uint32_t flags = ParseFlags(args);
  Require(args.size() == 2, "meta get");
  Vhdx::MetadataDescriptor wanted{ParseGuidArgument(args[1]), flags};
  auto disk = OpenDisk(args[0], false);
  for (const MetadataItem& item : UserMetadataItems(*disk)) {
    if (!item.descriptor.SameItem(wanted)) continue;
    if (raw)
      std::fwrite(item.data.data(), 1, item.data.size(), stdout);
    else
      std::printf("%s\n", Hex(item.data.data(), item.data.size()).c_str());
    return 0;
  }
  HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxMetadataItemNotFound, "Get", "metadataId",
                {Common::Utf8ToUtf16(args[1])});
}

int Set(Args& args) {
  bool hex = TakeFlag(args, "--hex");
  uint32_t flags = ParseFlags(args);
  Require(args.size() == 3, "meta set");
  Vhdx::MetadataDescriptor descriptor{ParseGuidArgument(args[1]), flags};
  std::vector<uint8_t> value = hex ? ParseHex(args[2]) : std::vector<uint8_t>(args[2].begin(), args[2].end());
  auto disk = OpenDisk(args[0], true);
  auto provider = Vhdx::MakeSingleItemProvider(descriptor, std::move(value));
  disk->SetMetadata(*provider);
  disk->GetParts().files->RawFile()->Flush();
  return 0;
}

int Remove(Args& args) {
  uint32_t flags = ParseFlags(args);
  Require(args.size() == 2, "meta remove");
  Vhdx::MetadataDescriptor descriptor{ParseGuidArgument(args[1]), flags};
  auto disk = OpenDisk(args[0], true);
  bool present = false;
  for (const MetadataItem& item : UserMetadataItems(*disk)) present = present || item.descriptor.SameItem(descriptor);
  if (!present)
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxMetadataItemNotFound, "Remove", "metadataId",
                  {Common::Utf8ToUtf16(args[1])});
  disk->RemoveMetadata(descriptor);
  disk->GetParts().files->RawFile()->Flush();
  return 0;
}

}  // namespace

int RunMeta(const Args& input) {
  Args args = input;
  Require(!args.empty(), "meta");
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "list") return List(args);
  if (sub == "get") return Get(args);
  if (sub == "set") return Set(args);
  if (sub == "remove") return Remove(args);
  Require(false, "meta");
  return 1;
}

}  // namespace Hvdisk
