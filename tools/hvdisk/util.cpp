#include <fcntl.h>

#include <cctype>
#include <cstdio>

#include "command.h"
#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/metadata_table.h"
#include "core/fdisk/virtual/vhdx/rio_core_file.h"
#include "core/file/unix/posix_dir.h"

namespace Hvdisk {
namespace {

class CollectingConsumer final : public Vhdx::MetadataConsumer {
 public:
  void Consume(const Vhdx::MetadataDescriptor& descriptor, const uint8_t* data, uint32_t size) override {
    items.push_back({descriptor, std::vector<uint8_t>(data, data + size)});
  }
  std::vector<MetadataItem> items;
};

}  // namespace

void Require(bool condition, const char* command) {
  if (!condition)
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxBadArguments, "Parse", "command", {Common::Utf8ToUtf16(command)});
}

uint64_t ParseSize(const std::string& text) {
  auto fail = [&]() {
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxInvalidDiskSize, "ParseSize", "size", {Common::Utf8ToUtf16(text)});
  };
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) fail();
  size_t pos = 0;
  uint64_t value = 0;
  for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
    if (value > (UINT64_MAX - 9) / 10) fail();
    value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
  }
  std::string suffix = text.substr(pos);
  int shift = 0;
  if (suffix == "" || suffix == "B")
    shift = 0;
  else if (suffix == "K" || suffix == "k" || suffix == "KB" || suffix == "KiB")
    shift = 10;
  else if (suffix == "M" || suffix == "m" || suffix == "MB" || suffix == "MiB")
    shift = 20;
  else if (suffix == "G" || suffix == "g" || suffix == "GB" || suffix == "GiB")
    shift = 30;
  else if (suffix == "T" || suffix == "t" || suffix == "TB" || suffix == "TiB")
    shift = 40;
  else
    fail();
  if (shift && value > (UINT64_MAX >> shift)) fail();
  return value << shift;
}

bool TakeFlag(Args& args, const std::string& name) {
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (*it == name) {
      args.erase(it);
      return true;
    }
  }
  return false;
}

std::optional<std::string> TakeOption(Args& args, const std::string& name) {
  for (auto it = args.begin(); it != args.end(); ++it) {
    if (it->rfind(name + "=", 0) == 0) {
      std::string value = it->substr(name.size() + 1);
      args.erase(it);
      return value;
    }
    if (*it == name && it + 1 != args.end()) {
      std::string value = *(it + 1);
      args.erase(it, it + 2);
      return value;
    }
  }
  return std::nullopt;
}

std::shared_ptr<Vhdx::CoreFile> OpenHostFile(const std::string& path, int flags, uint32_t mode) {
  // The file layer opens by name inside a directory object.
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  posix_dir dir(folder);
  std::unique_ptr<rio_file> file = dir.Open(Common::Utf8ToUtf16(name), flags, false, mode);
  if (!file) {
    Common::Throw(Common::Wrap(Common::MakeErrorWithArgs(Code::kFileRead, Msg::kVhdxOpenFileFailed, HV_SITE("Open"),
                                                         "fileName", {Common::Utf8ToUtf16(path)}),
                               dir.TakeError()));
  }
  return Vhdx::MakeRioCoreFile(std::move(file));
}

std::shared_ptr<Vhdx::DiskFile> OpenDisk(const std::string& path, bool writable) {
  std::shared_ptr<Vhdx::CoreFile> core = OpenHostFile(path, writable ? O_RDWR : O_RDONLY, 0);
  auto extra = Vhdx::MakePage83MetadataConsumer();
  try {
    return writable ? Vhdx::OpenDiskFileWritable(core, extra) : Vhdx::OpenDiskFileReadOnly(core, extra);
  } catch (const Common::Error& error) {
    Common::Throw(Common::Wrap(Common::MakeErrorWithArgs(Code::kInvalidArguments, Msg::kVhdxOpenFileFailed,
                                                         HV_SITE("OpenDisk"), "fileName", {Common::Utf8ToUtf16(path)}),
                               error));
  }
}

std::string GuidText(const Common::Guid& guid) { return Common::GuidToText(guid); }

Common::Guid ParseGuidArgument(const std::string& text) {
  std::string bare = text;
  if (bare.size() >= 2 && bare.front() == '{' && bare.back() == '}') bare = bare.substr(1, bare.size() - 2);
  auto guid = Common::ParseGuid(bare.c_str());
  if (!guid)
    HV_THROW_ARGS(Code::kInvalidArguments, Msg::kVhdxBadGuid, "ParseGuid", "guid", {Common::Utf8ToUtf16(text)});
  return *guid;
}

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string KindName(uint32_t kind) {
  switch (kind) {
    case Vhdx::kDiskFixed:
      return "fixed";
    case Vhdx::kDiskDynamic:
      return "dynamic";
    case Vhdx::kDiskDifferencing:
      return "differencing";
    default:
      return "unknown";
  }
}

std::vector<MetadataItem> AllMetadataItems(Vhdx::DiskFile& disk) {
  // The disk's own listing leaves the system items out: read the table directly.
  const Vhdx::DiskFileParts& parts = disk.GetParts();
  auto region = Vhdx::MakeReadOnlyFileRegion(parts.files->StructureFile(),
                                             {parts.metadataRegion.fileOffset, parts.metadataRegion.length});
  CollectingConsumer consumer;
  Vhdx::MakeMetadataReader(region)->Read(consumer);
  return std::move(consumer.items);
}

std::vector<MetadataItem> UserMetadataItems(Vhdx::DiskFile& disk) {
  CollectingConsumer consumer;
  disk.GetMetadata(consumer);
  return std::move(consumer.items);
}

}  // namespace Hvdisk
