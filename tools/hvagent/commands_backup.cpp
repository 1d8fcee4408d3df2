// Repository commands: backup, points, restore and verify.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "agent_error.h"
#include "commands.h"
#include "core/common/error_codes.h"
#include "disk_copy.h"
#include "plugin.h"
#include "repository.h"

namespace Hvagent {

namespace {

using namespace VirtualWareRaw;

std::u16string U16(const std::string& text) { return Common::Utf8ToUtf16(text); }

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The record of error's chain with code; a success when there is none.
Common::Error InChain(const Common::Error& error, uint32_t code) {
  for (Common::Error e = error; e.IsFailure(); e = e.Cause()) {
    if (e.Code() == code) return e;
  }
  return Common::Success();
}

bool ChainHas(const Common::Error& error, uint32_t code) { return InChain(error, code).IsFailure(); }

std::unique_ptr<Progress> MakeProgress(const std::string& verb, uint64_t total) {
  return std::make_unique<Progress>(verb, total, stderr, Progress::IsTerminal(stderr));
}

struct PlannedDisk {
  MachineDisk machineDisk;
  std::shared_ptr<VirtualMachineDiskEx> raw;
  DiskRecord record;
  std::vector<Extent> ranges;
};

// The last point, when the next backup can build on it; else why not.
std::optional<Manifest> BasePoint(const Repository& repo, bool full, std::string& why) {
  const std::vector<uint64_t> points = repo.Points();
  if (full) {
    why = "a full backup was asked for";
    return std::nullopt;
  }
  if (points.empty()) {
    why = "the repository holds no point yet";
    return std::nullopt;
  }
  try {
    std::vector<Manifest> chain = repo.Chain(points.back());
    return chain.back();
  } catch (const Common::Error& error) {
    why = "point " + std::to_string(points.back()) + " cannot be restored (" +
          Common::Utf16ToUtf8(Common::FormatErrorMessage(error)) + ")";
    return std::nullopt;
  }
}

// Removes the tracker's snapshots of change IDs no point refers to (left by
// killed runs, or by points removed by hand), so that the tracker's state
// grows with the points and not with every run. A point that cannot be read
// for a reason other than damage may still refer to some: then all stay.
void ForgetUnusedChangeIds(const Repository& repo) {
  std::vector<std::u16string> keep;
  for (uint64_t point : repo.Points()) {
    try {
      for (const DiskRecord& disk : repo.Load(point).disks) keep.push_back(U16(disk.changeId));
    } catch (const Common::Error& error) {
      if (ChainHas(error, kChecksumMismatch) || ChainHas(error, kRepositoryDamaged)) continue;
      std::fprintf(stderr, "the tracker's snapshots are kept: point %llu cannot be read\n",
                   static_cast<unsigned long long>(point));
      return;
    }
  }
  if (Common::Error error = HvForgetChangeIds(U16(repo.TrackerDir()), keep)) {
    std::fprintf(stderr, "the tracker's unused snapshots stay:\n%s", DescribeChain(error).c_str());
  }
}

// The file a "not tracked" record names, else "".
std::string UntrackedFile(const Common::Error& untracked) {
  const char16_t* name = untracked.IsFailure() ? untracked.GetWide("fileName") : nullptr;
  return name ? Common::Utf16ToUtf8(name) : std::string();
}

// Files a run may add to what the tracker follows: deeper than any real chain.
constexpr size_t kMostFollowed = 64;

// Fills plan's record and the ranges to store, against the previous point's
// record of the same disk when base has one. follow(file) tracks a file the
// plug-in found untracked and tells whether that was new: then the plan
// must be made again under a new change ID (the return value).
bool PlanDisk(PlannedDisk& plan, size_t index, const Manifest* base, const std::string& whyWhole,
              const std::string& changeId, const std::function<bool(const std::string&)>& follow) {
  DiskRecord& record = plan.record;
  record = {};
  plan.ranges.clear();
  record.bus = BusName(plan.machineDisk.place.bus);
  record.controller = plan.machineDisk.place.controller;
  record.device = plan.machineDisk.place.device;
  record.file = plan.machineDisk.file;
  record.fileName = BaseName(record.file);
  record.sectorSize = plan.raw->GetSectorSize();
  record.sectors = plan.raw->GetSectorCount();
  record.changeId = changeId;
  record.dataFile = "disk-" + std::to_string(index) + ".data";
  record.reason = whyWhole;
  const DiskRecord* previous = nullptr;
  if (base) {
    for (const DiskRecord& old : base->disks) {
      if (old.Place() == record.Place() && old.file == record.file && old.sectorSize == record.sectorSize &&
          old.sectors == record.sectors) {
        previous = &old;
      }
    }
    if (!previous) record.reason = "it is not in point " + std::to_string(base->point) + " as it is now";
  }
  if (previous) {
    try {
      plan.ranges = ChangedSectors(*plan.raw, previous->changeId);
      record.since = previous->changeId;
      record.reason.clear();
      return false;
    } catch (const Common::Error& error) {
      if (ChainHas(error, ::Code::kTrackerUnknownChangeId)) {
        record.reason = "the tracker no longer knows change ID " + previous->changeId;
      } else if (const Common::Error untracked = InChain(error, ::Code::kFileNotTracked); untracked.IsFailure()) {
        const std::string file = UntrackedFile(untracked);
        if (!file.empty() && follow(file)) return true;
        // A differencing disk's changes include its parents', and this one
        // could not be tracked.
        record.reason = "the tracker does not follow a file it builds on (" +
                        Common::Utf16ToUtf8(Common::FormatErrorMessage(untracked)) + ")";
      } else {
        throw;
      }
    }
  }
  record.since = "*";
  plan.ranges = ChangedSectors(*plan.raw, "*");
  // The next backup compares with this change ID: a file of the disk's chain
  // that the tracker does not follow would then make it whole again.
  try {
    ChangedSectors(*plan.raw, changeId);
  } catch (const Common::Error& error) {
    const std::string file = UntrackedFile(InChain(error, ::Code::kFileNotTracked));
    if (!file.empty() && follow(file)) return true;
  }
  return false;
}

}  // namespace

int RunBackup(const Context& context, const CommandLine& line) {
  const std::string vmc = line.args[0];
  Repository repo(line.args[1], true, true);
  AutoRef<FileTracker> tracker;
  Check(HvCreateFileTracker(U16(repo.TrackerDir()), tracker), "Cannot open the file tracker.");
  Plugin plugin(context.program, tracker);
  AutoRef<SafeVM> vm = plugin.Open(vmc, false);

  std::string whyWhole;
  const std::optional<Manifest> base = BasePoint(repo, line.Has("--full"), whyWhole);
  const std::vector<uint64_t> points = repo.Points();
  Manifest manifest;
  manifest.point = points.empty() ? 1 : points.back() + 1;
  manifest.time = UtcNow();
  manifest.kind = base ? "incremental" : "full";
  manifest.base = base ? base->point : 0;
  manifest.vmcPath = Property(vm, "FileName");
  manifest.vmc = ReadWholeFile(manifest.vmcPath);
  for (const auto& [name, value] : Properties(vm)) manifest.properties[name] = value;

  std::vector<PlannedDisk> disks;
  for (MachineDisk& disk : Disks(vm)) {
    Check(HvTrackFile(U16(repo.TrackerDir()), U16(disk.file)), "Cannot track '" + disk.file + "'.");
    disks.push_back({std::move(disk), nullptr, {}, {}});
  }
  for (PlannedDisk& plan : disks) plan.raw = OpenRaw(*plan.machineDisk.disk);
  // One snapshot for every disk: the point's change ID. A file the plug-in
  // names as untracked (a parent of a differencing disk) is tracked too and
  // the change ID taken again, so that it covers the whole chain; a file is
  // added once per run, so a chain that stays untrackable cannot loop.
  std::set<std::string> followed;
  std::string changeId;
  for (;;) {
    std::u16string id;
    Check(tracker->GetCurrentChangeId(id), "Cannot get a change ID from the file tracker.");
    changeId = Common::Utf16ToUtf8(id);
    bool again = false;
    for (size_t i = 0; i < disks.size(); ++i) {
      again |= PlanDisk(disks[i], i, base ? &*base : nullptr, whyWhole, changeId, [&](const std::string& file) {
        if (followed.size() >= kMostFollowed || !followed.insert(file).second) return false;
        Check(HvTrackFile(U16(repo.TrackerDir()), U16(file)), "Cannot track '" + file + "'.");
        std::printf("the tracker now follows %s, which a disk builds on\n", file.c_str());
        return true;
      });
    }
    if (!again) break;
  }

  uint64_t total = 0;
  for (const PlannedDisk& plan : disks) {
    const DiskRecord& record = plan.record;
    if (record.since == "*") {
      std::printf("disk %s (%s): stored whole: %s\n", record.Place().c_str(), record.file.c_str(),
                  record.reason.c_str());
    } else {
      std::printf("disk %s (%s): %llu sectors changed since change ID %s\n", record.Place().c_str(),
                  record.file.c_str(), static_cast<unsigned long long>(SectorsIn(plan.ranges)), record.since.c_str());
    }
    total += SectorsIn(plan.ranges) * record.sectorSize;
  }

  PointWriter writer(repo, manifest.point);
  auto progress = MakeProgress("backup", total);
  Totals totals;
  for (PlannedDisk& plan : disks) {
    DataWriter data(writer.PathOf(plan.record.dataFile));
    BackupSectors(*plan.raw, plan.ranges, data, plan.record, *progress, totals);
    plan.record.dataBytes = data.Bytes();
    Digests digests = data.Close();
    plan.record.sha256 = std::move(digests.sha256);
    plan.record.xxh3 = std::move(digests.xxh3);
    manifest.disks.push_back(plan.record);
  }
  writer.Commit(manifest);
  ForgetUnusedChangeIds(repo);
  progress->Finish();
  std::printf("point %llu (%s) written to %s\n", static_cast<unsigned long long>(manifest.point), manifest.kind.c_str(),
              repo.PointDir(manifest.point).c_str());
  std::printf("%s\n", progress->Summary(totals).c_str());
  return 0;
}

int RunPoints(const Context&, const CommandLine& line) {
  Repository repo(line.args[0], false, false);
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  int status = 0;
  for (uint64_t point : repo.Points()) {
    try {
      Manifest m = repo.Load(point);
      out.push_back({{"point", m.point},
                     {"time", m.time},
                     {"kind", m.kind},
                     {"stored_bytes", m.StoredBytes()},
                     {"disks", m.disks.size()}});
    } catch (const Common::Error& error) {
      std::fprintf(stderr, "point %llu cannot be read:\n%s", static_cast<unsigned long long>(point),
                   DescribeChain(error).c_str());
      status = 1;
    }
  }
  if (line.Has("--json")) {
    std::printf("%s\n", out.dump(2).c_str());
    return status;
  }
  std::printf("%-6s %-20s %-12s %6s %14s\n", "point", "time", "kind", "disks", "stored");
  for (const auto& p : out) {
    std::printf("%-6llu %-20s %-12s %6zu %14s\n", p["point"].get<unsigned long long>(),
                p["time"].get<std::string>().c_str(), p["kind"].get<std::string>().c_str(), p["disks"].get<size_t>(),
                FormatBytes(p["stored_bytes"].get<uint64_t>()).c_str());
  }
  return status;
}

namespace {

uint64_t ChosenPoint(const Repository& repo, const CommandLine& line) {
  const std::vector<uint64_t> points = repo.Points();
  if (points.empty()) Fail(kPointMissing, "The repository '" + repo.Path() + "' holds no restore point.");
  return line.Number("--point", points.back(), 1, UINT64_MAX);
}

// The records to apply for each disk of the last manifest, oldest first.
std::vector<std::vector<std::pair<uint64_t, const DiskRecord*>>> DiskChains(const std::vector<Manifest>& chain) {
  std::vector<std::vector<std::pair<uint64_t, const DiskRecord*>>> out;
  for (const DiskRecord& top : chain.back().disks) {
    std::vector<std::pair<uint64_t, const DiskRecord*>> layers{{chain.back().point, &top}};
    for (size_t i = chain.size() - 1; layers.back().second->since != "*"; --i) {
      if (i == 0) Fail(kRepositoryDamaged, "The chain of disk " + top.Place() + " has no full copy.");
      const DiskRecord* layer = layers.back().second;
      auto older = std::find_if(chain[i - 1].disks.begin(), chain[i - 1].disks.end(), [&](const DiskRecord& d) {
        return d.Place() == layer->Place() && d.changeId == layer->since;
      });
      if (older == chain[i - 1].disks.end()) {
        Fail(kRepositoryDamaged,
             "Restore point " + std::to_string(chain[i - 1].point) + " lacks disk " + layer->Place() + ".");
      }
      layers.emplace_back(chain[i - 1].point, &*older);
    }
    std::reverse(layers.begin(), layers.end());
    out.push_back(std::move(layers));
  }
  return out;
}

}  // namespace

namespace {

// The data files a restore reads are there and of the size their manifests
// say: checked before anything is created, since it costs no read.
void CheckDataFiles(const Repository& repo, const std::vector<Manifest>& chain) {
  for (const Manifest& m : chain) {
    for (const DiskRecord& d : m.disks) {
      const std::string name = repo.PointDir(m.point) + "/" + d.dataFile;
      struct stat st;
      if (::stat(name.c_str(), &st) != 0) Fail(kChecksumMismatch, "The data file '" + name + "' is missing.", errno);
      if (static_cast<uint64_t>(st.st_size) != d.dataBytes) {
        Fail(kChecksumMismatch, "The checksum of '" + name + "' does not match.");
      }
    }
  }
}

// A restore builds its machine in a hidden folder beside the target and
// moves it into place only when every disk is written and every checksum
// matched: a failed or killed restore leaves no machine that looks whole.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& location) : path_(location + "/.restoring-" + std::to_string(::getpid())) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    if (::mkdir(path_.c_str(), 0755) != 0) Fail(kIoFailed, "Cannot create '" + path_ + "'.", errno);
  }
  ~StagingFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

int RunRestore(const Context& context, const CommandLine& line) {
  Repository repo(line.args[0], false, false);
  const uint64_t point = ChosenPoint(repo, line);
  const std::vector<Manifest> chain = repo.Chain(point);
  const auto diskChains = DiskChains(chain);
  CheckDataFiles(repo, chain);
  const Manifest& target = chain.back();

  Plugin plugin(context.program);
  const std::string location = AbsolutePath(line.args[1]);
  MakeFolders(location);
  StagingFolder staging(location);
  // Declared before the machine: destroyed after the plug-in closed the disks.
  std::vector<std::unique_ptr<Writeback>> writebacks;
  AutoRef<SafeVM> vm;
  Check(plugin.Server().CreateVM(U16(staging.Path()), U16(line.args[2]), 0, vm));
  const std::string stagedVmc = Property(vm, "FileName");
  const std::string machineFolder = location + "/" + BaseName(Folder(stagedVmc));
  if (::access(machineFolder.c_str(), F_OK) == 0) {
    Fail(kFailed, "The folder '" + machineFolder + "' exists already; a restore makes a new machine.");
  }
  if (auto access = vm.Query<SafeVMAccess>()) Check(access->SetAccessMode(SafeVMAccess::kWriteAccess));
  auto property = [&](const char* name) {
    auto it = target.properties.find(name);
    return it == target.properties.end() ? std::string() : it->second;
  };
  if (std::string memory = property("Memory"); !memory.empty()) {
    SetProperty(vm, "Memory", std::to_string(std::stoull(memory) << 20));
  }
  if (std::string firmware = property("FirmwareType"); !firmware.empty()) SetProperty(vm, "FirmwareType", firmware);

  uint64_t restoreTotal = 0;
  for (const auto& layers : diskChains) {
    for (const auto& [p, record] : layers) restoreTotal += record->dataBytes;
  }
  auto progress = MakeProgress("restore", restoreTotal);
  Totals totals;
  for (const auto& layers : diskChains) {
    const DiskRecord& top = *layers.back().second;
    // A first fill: the disk is new and thrown away with the staging folder
    // unless the restore finishes, so its writes need no barrier each; one
    // flush at the end, whose failure fails the restore, makes it durable.
    AutoRef<SafeHardDisk> disk;
    Check(vm->AddHardDisk(U16(top.fileName), BusNumber(top.bus), top.controller, top.device,
                          top.sectors * top.sectorSize, top.sectorSize, 0, SafeVM::kFirstFill, disk));
    auto raw = OpenRaw(*disk);
    if (raw->GetSectorCount() != top.sectors || raw->GetSectorSize() != top.sectorSize) {
      Fail(kFailed, "The new disk at " + top.Place() + " does not have the size of the one backed up.");
    }
    writebacks.push_back(std::make_unique<Writeback>(Folder(stagedVmc) + "/" + BaseName(top.fileName)));
    bool first = true;
    for (const auto& [p, record] : layers) {
      ApplyRecord(*raw, *record, repo.PointDir(p) + "/" + record->dataFile, !first, *progress, totals,
                  kRestorePieceBytes, writebacks.back().get());
      first = false;
    }
    Check(raw->IO(Fdisk::kIoFlush, nullptr, 0, 0), "Cannot flush the disk at " + top.Place() + ".");
  }
  CloseMachine(vm);
  vm = {};
  writebacks.clear();  // before the plug-in opens (and locks) the disks again

  // Every checksum matched: move the machine into place, then let the
  // plug-in record its disks' paths there.
  if (::rename(Folder(stagedVmc).c_str(), machineFolder.c_str()) != 0) {
    Fail(kIoFailed, "Cannot move the restored machine to '" + machineFolder + "'.", errno);
  }
  SyncFolder(location);
  const std::string path = machineFolder + "/" + BaseName(stagedVmc);
  AutoRef<SafeVM> placed = plugin.Open(path, true);
  std::vector<std::pair<DiskPlace, std::string>> attached;
  for (const MachineDisk& disk : Disks(placed)) attached.emplace_back(disk.place, BaseName(disk.file));
  for (const auto& [place, file] : attached) {
    Check(placed->RemoveHardDisk(place.bus, place.controller, place.device, false));
    AutoRef<SafeHardDisk> again;
    Check(placed->AddExistingHardDisk(U16(machineFolder + "/" + file), place.bus, place.controller, place.device, 0,
                                      again));
  }
  CloseMachine(placed);
  progress->Finish();
  std::printf("point %llu restored into %s\n", static_cast<unsigned long long>(point), path.c_str());
  std::printf("%s\n", progress->Summary(totals).c_str());
  return 0;
}

int RunVerify(const Context&, const CommandLine& line) {
  Repository repo(line.args[0], false, false);
  std::vector<uint64_t> points = repo.Points();
  if (line.Has("--point")) {
    points.clear();
    for (const Manifest& m : repo.Chain(ChosenPoint(repo, line))) points.push_back(m.point);
  }
  int status = 0;
  Totals totals;
  auto progress = MakeProgress("verify", 0);
  for (uint64_t point : points) {
    try {
      const Manifest m = repo.Load(point);
      repo.Chain(point);  // every point it builds on is there and readable
      repo.VerifyData(m, [&](uint64_t bytes) {
        totals.read += bytes;
        progress->Advance(bytes);
      });
      std::printf("point %llu: ok\n", static_cast<unsigned long long>(point));
    } catch (const Common::Error& error) {
      progress->Finish();
      std::printf("point %llu: FAILED\n%s", static_cast<unsigned long long>(point), DescribeChain(error).c_str());
      status = 1;
    }
  }
  progress->Finish();
  std::printf("%s\n", progress->Summary(totals).c_str());
  return status;
}

}  // namespace Hvagent
