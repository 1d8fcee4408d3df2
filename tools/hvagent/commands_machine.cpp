// Machine commands: create, inspect, change and remove machines and their
// disks through the plug-in.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent_error.h"
#include "commands.h"
#include "plugin.h"

namespace Hvagent {

namespace {

using namespace VirtualWareRaw;

std::u16string U16(const std::string& text) { return Common::Utf8ToUtf16(text); }

int OptionalNumber(const CommandLine& line, const std::string& name, uint64_t high) {
  return line.Has(name) ? static_cast<int>(line.Number(name, 0, 0, high)) : -1;
}

DiskPlace ChoosePlace(const AutoRef<SafeVM>& vm, const CommandLine& line) {
  int bus = line.Has("--bus") ? static_cast<int>(BusNumber(*line.Get("--bus"))) : -1;
  return FreePlace(vm, bus, OptionalNumber(line, "--controller", 3), OptionalNumber(line, "--device", 14));
}

std::string PlaceText(const DiskPlace& place) {
  return BusName(place.bus) + ":" + std::to_string(place.controller) + ":" + std::to_string(place.device);
}

}  // namespace

int RunCreateVm(const Context& context, const CommandLine& line) {
  std::string firmware;
  if (auto value = line.Get("--firmware")) {
    if (*value != "bios" && *value != "efi") throw UsageError{"--firmware takes bios or efi"};
    firmware = *value == "efi" ? "1" : "0";
  }
  const uint64_t memory = line.Number("--memory", 0, 1, 1 << 20);
  Plugin plugin(context.program);
  MakeFolders(line.args[0]);
  AutoRef<SafeVM> vm;
  Check(plugin.Server().CreateVM(U16(AbsolutePath(line.args[0])), U16(line.args[1]), 0, vm));
  if (memory) SetProperty(vm, "Memory", std::to_string(memory << 20));
  if (!firmware.empty()) SetProperty(vm, "FirmwareType", firmware);
  const std::string path = Property(vm, "FileName");
  CloseMachine(vm);
  std::printf("%s\n", path.c_str());
  return 0;
}

int RunInfo(const Context& context, const CommandLine& line) {
  Plugin plugin(context.program);
  AutoRef<SafeVM> vm = plugin.Open(line.args[0], false);
  nlohmann::ordered_json properties = nlohmann::ordered_json::object();
  for (const auto& [name, value] : Properties(vm)) properties[name] = value;
  nlohmann::ordered_json disks = nlohmann::ordered_json::array();
  for (const MachineDisk& disk : Disks(vm)) {
    auto raw = OpenRaw(*disk.disk);
    disks.push_back({{"bus", BusName(disk.place.bus)},
                     {"controller", disk.place.controller},
                     {"device", disk.place.device},
                     {"file", disk.file},
                     {"sector_size", raw->GetSectorSize()},
                     {"sectors", raw->GetSectorCount()}});
  }
  if (line.Has("--json")) {
    nlohmann::ordered_json out = {{"properties", properties}, {"disks", disks}};
    std::printf("%s\n", out.dump(2).c_str());
    return 0;
  }
  for (const auto& [name, value] : properties.items()) {
    std::printf("%-14s %s\n", name.c_str(), value.get<std::string>().c_str());
  }
  for (const auto& disk : disks) {
    std::printf("disk %s:%u:%u  %s  %llu sectors of %u bytes\n", disk["bus"].get<std::string>().c_str(),
                disk["controller"].get<unsigned>(), disk["device"].get<unsigned>(),
                disk["file"].get<std::string>().c_str(), disk["sectors"].get<unsigned long long>(),
                disk["sector_size"].get<unsigned>());
  }
  return 0;
}

int RunSet(const Context& context, const CommandLine& line) {
  Plugin plugin(context.program);
  AutoRef<SafeVM> vm = plugin.Open(line.args[0], true);
  SetProperty(vm, line.args[1], line.args[2]);
  CloseMachine(vm);
  return 0;
}

int RunAddDisk(const Context& context, const CommandLine& line) {
  const uint64_t size = ParseSize(*line.Get("--size"));
  const uint64_t sectorSize = line.Number("--sector-size", 512, 512, 4096);
  if (sectorSize != 512 && sectorSize != 4096) throw UsageError{"--sector-size takes 512 or 4096"};
  Plugin plugin(context.program);
  AutoRef<SafeVM> vm = plugin.Open(line.args[0], true);
  const DiskPlace place = ChoosePlace(vm, line);
  AutoRef<SafeHardDisk> disk;
  Check(vm->AddHardDisk(U16(line.args[1]), place.bus, place.controller, place.device, size,
                        static_cast<uint32_t>(sectorSize), 0, 0, disk));
  std::u16string file;
  Check(disk->GetFileName(file));
  disk = {};
  CloseMachine(vm);
  std::printf("%s %s\n", PlaceText(place).c_str(), Common::Utf16ToUtf8(file).c_str());
  return 0;
}

int RunAttachDisk(const Context& context, const CommandLine& line) {
  Plugin plugin(context.program);
  AutoRef<SafeVM> vm = plugin.Open(line.args[0], true);
  const DiskPlace place = ChoosePlace(vm, line);
  AutoRef<SafeHardDisk> disk;
  Check(vm->AddExistingHardDisk(U16(line.args[1]), place.bus, place.controller, place.device, 0, disk));
  disk = {};
  CloseMachine(vm);
  std::printf("%s %s\n", PlaceText(place).c_str(), line.args[1].c_str());
  return 0;
}

int RunRemoveDisk(const Context& context, const CommandLine& line) {
  const uint32_t bus = BusNumber(*line.Get("--bus"));
  const uint64_t controller = line.Number("--controller", 0, 0, 3), device = line.Number("--device", 0, 0, 14);
  Plugin plugin(context.program);
  AutoRef<SafeVM> vm = plugin.Open(line.args[0], true);
  Check(vm->RemoveHardDisk(bus, static_cast<uint32_t>(controller), static_cast<uint32_t>(device),
                           line.Has("--delete-file")));
  CloseMachine(vm);
  return 0;
}

int RunRemoveVm(const Context& context, const CommandLine& line) {
  Plugin plugin(context.program);
  Check(plugin.Server().RemoveVM(U16(AbsolutePath(line.args[0]))));
  return 0;
}

}  // namespace Hvagent
