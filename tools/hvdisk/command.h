// hvdisk commands: one file per command, registered in the table of hvdisk.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/fdisk/virtual/vhdx/disk_file.h"

namespace Hvdisk {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;    // arguments after the command name
  const char* summary;  // one line
  const char* details;  // further lines for --help, may be empty
  // Throws Common::Error on failure; returns the exit code otherwise.
  int (*run)(const Args& args);
};

// Fails with "Invalid arguments for command" unless the condition holds.
void Require(bool condition, const char* command);
// "10G", "512M", "4096", "1T", "64K" (powers of 1024).
uint64_t ParseSize(const std::string& text);
// Options of the form --name or --name=value taken out of args.
bool TakeFlag(Args& args, const std::string& name);
std::optional<std::string> TakeOption(Args& args, const std::string& name);

// Opens a host file through the file layer (whole-file lock held while open).
std::shared_ptr<Vhdx::CoreFile> OpenHostFile(const std::string& path, int flags, uint32_t mode);
// Opens a disk file; read-only openings never change the file.
std::shared_ptr<Vhdx::DiskFile> OpenDisk(const std::string& path, bool writable);

std::string GuidText(const Common::Guid& guid);
Common::Guid ParseGuidArgument(const std::string& text);
std::string Hex(const uint8_t* data, size_t size);
std::string JsonString(const std::string& text);
std::string KindName(uint32_t kind);

struct MetadataItem {
  Vhdx::MetadataDescriptor descriptor;
  std::vector<uint8_t> data;
};
// Every item of the metadata table, the system ones included.
std::vector<MetadataItem> AllMetadataItems(Vhdx::DiskFile& disk);
// The items the disk shows its users.
std::vector<MetadataItem> UserMetadataItems(Vhdx::DiskFile& disk);

int RunCreate(const Args& args);
int RunInfo(const Args& args);
int RunMeta(const Args& args);

}  // namespace Hvdisk
