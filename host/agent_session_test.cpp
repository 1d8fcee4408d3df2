// An agent's session against the built plug-in, loaded as the agent loads
// it: dlopen, one resolved symbol, everything else through interfaces.
#include <filesystem>
#include <string>
#include <vector>

#include "core/common/error_codes.h"
#include "hvplug/file_tracker.h"
#include "hvplug/virtual_machine_disk.h"
#include "plugin_testutil.h"

namespace {

namespace fs = std::filesystem;
using Processor::AutoRef;
using namespace VirtualWareRaw;
using PluginTesting::Describe;
using PluginTesting::Wide;

// Sector contents that say where they are.
std::vector<uint8_t> Pattern(uint64_t firstSector, uint64_t count, uint8_t salt) {
  std::vector<uint8_t> data(count * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((firstSector * 512 + i) * 7 + salt + i / 512);
  return data;
}

class AgentSession : public PluginTesting::PluginFixture {
 protected:
  // Writes the pattern and, for the system disk, keeps what its first 4096 sectors hold.
  void Write(VirtualMachineDiskEx& disk, uint64_t first, uint64_t count, uint8_t salt, bool system = true) {
    std::vector<uint8_t> data = Pattern(first, count, salt);
    ASSERT_OK(disk.IO(Fdisk::kIoWrite, data.data(), first, count));
    if (system) std::copy(data.begin(), data.end(), image_.begin() + static_cast<std::ptrdiff_t>(first * 512));
  }
  std::vector<uint8_t> image_ = std::vector<uint8_t>(4096 * 512);
};

TEST_F(AgentSession, BackupCycleOfAMachineWithTwoDisks) {
  const std::u16string state = Wide(dir_ + "/tracker");
  const std::string machineDir = dir_ + "/Backup VM";
  const std::u16string vmcPath = Wide(machineDir + "/Backup VM.vmc");
  AutoRef<FileTracker> tracker;
  ASSERT_OK(HvCreateFileTracker(state, tracker));

  std::u16string firstId;
  std::vector<Fdisk::SectorRange> changed;
  {
    AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices("/", tracker));
    ASSERT_TRUE(server);
    AutoRef<SafeVM> vm;
    ASSERT_OK(server->CreateVM(Wide(dir_), u"Backup VM", 0, vm));
    AutoRef<SafeHardDisk> system, data;
    ASSERT_OK(vm->AddHardDisk(u"system.vhdx", 0, 0, 0, 64 << 20, 512, 0, 0, system));
    ASSERT_OK(vm->AddHardDisk(u"data", 1, 0, 3, 32 << 20, 512, 0, 0, data));
    for (const char* name : {"/system.vhdx", "/data.vhdx"}) ASSERT_OK(HvTrackFile(state, Wide(machineDir + name)));

    std::shared_ptr<VirtualMachineDiskEx> disk = OpenDisk(system), other = OpenDisk(data);
    ASSERT_TRUE(disk && other);
    EXPECT_EQ(disk->GetSectorCount(), (64u << 20) / 512);
    // Allocate the blocks first: a block allocated later counts as changed in whole.
    Write(*disk, 0, 4096, 1);
    Write(*other, 100, 8, 2, false);
    ASSERT_OK(disk->GetCurrentChangeID(firstId));
    ASSERT_FALSE(firstId.empty());

    Write(*disk, 256, 128, 3);
    Write(*disk, 1024, 256, 4);
    Write(*disk, 2001, 1, 5);
    ASSERT_OK(disk->GetChangedSectors(firstId, {0, disk->GetSectorCount()}, changed));
    // Every written sector is reported; anything else only within the
    // tracker's 64 KiB (128-sector) pieces around a write.
    std::vector<bool> written(4096), allowed(4096), got(4096);
    for (auto [first, count] : {std::pair{256, 128}, {1024, 256}, {2001, 1}}) {
      for (int s = first; s < first + count; ++s) written[s] = true;
      for (int s = first / 128 * 128; s < (first + count + 127) / 128 * 128; ++s) allowed[s] = true;
    }
    uint64_t end = 0;
    for (const auto& range : changed) {
      EXPECT_GT(range.length, 0u);
      EXPECT_GE(range.start, end) << "ranges overlap or go backwards";
      end = range.start + range.length;
      ASSERT_LE(end, 4096u);
      for (uint64_t s = range.start; s < end; ++s) got[s] = true;
    }
    for (int s = 0; s < 4096; ++s) {
      EXPECT_TRUE(!written[s] || got[s]) << "sector " << s << " was written but not reported";
      EXPECT_TRUE(!got[s] || allowed[s]) << "sector " << s << " was reported but not written";
    }
    // Within a range the answer is clipped to it.
    changed.clear();
    ASSERT_OK(disk->GetChangedSectors(firstId, {300, 800}, changed));
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_EQ(changed[0].start, 300u);
    EXPECT_EQ(changed[0].length, 84u);
    EXPECT_EQ(changed[1].start, 1024u);
    EXPECT_EQ(changed[1].length, 76u);

    ASSERT_OK(vm.Query<SafeVMAccess>()->Close());
  }

  // A second server finds it all again by path.
  {
    AutoRef<SafeVirtualServer> server = OpenServer(HostCreateFileServices("/", tracker));
    ASSERT_TRUE(server);
    AutoRef<SafeVM> vm;
    ASSERT_OK(server->GetRegisteredVM(vmcPath, vm));
    std::u16string fileName, memory;
    auto properties = vm.Query<PropertySet>();
    ASSERT_OK(properties->GetProperty(u"FileName", fileName));
    EXPECT_EQ(fileName, vmcPath);
    ASSERT_OK(properties->GetProperty(u"Memory", memory));
    EXPECT_EQ(memory, u"128");

    AutoRef<SafeHardDiskCollection> disks;
    ASSERT_OK(vm->GetHardDisks(disks));
    uint32_t count = 0;
    ASSERT_OK(disks->GetCount(count));
    ASSERT_EQ(count, 2u);
    AutoRef<SafeHardDisk> system, data;
    ASSERT_OK(disks->GetItem(0, system));
    ASSERT_OK(disks->GetItem(1, data));
    std::u16string name;
    uint32_t bus = 0, device = 0;
    ASSERT_OK(data->GetFileName(name));
    ASSERT_OK(data->GetBus(bus));
    ASSERT_OK(data->GetDevice(device));
    EXPECT_EQ(name, Wide(machineDir + "/data.vhdx"));
    EXPECT_EQ(bus * 10 + device, 13u);

    {
      std::shared_ptr<VirtualMachineDiskEx> disk = OpenDisk(system);
      ASSERT_TRUE(disk);
      std::vector<uint8_t> read(image_.size());
      ASSERT_OK(disk->IO(Fdisk::kIoRead, read.data(), 0, 4096));
      EXPECT_TRUE(read == image_);
      // The change ID taken before still answers through the new server.
      changed.clear();
      ASSERT_OK(disk->GetChangedSectors(firstId, {0, 2048}, changed));
      ASSERT_FALSE(changed.empty());
      EXPECT_EQ(changed.front().start, 256u);
      EXPECT_LE(changed.back().start, 2001u);
      std::vector<uint8_t> other(8 * 512);
      std::shared_ptr<VirtualMachineDiskEx> dataDisk = OpenDisk(data);
      ASSERT_TRUE(dataDisk);
      ASSERT_OK(dataDisk->IO(Fdisk::kIoRead, other.data(), 100, 8));
      EXPECT_TRUE(other == Pattern(100, 8, 2));
    }
    system.Reset();
    data.Reset();
    disks.Reset();

    ASSERT_OK(vm.Query<SafeVMAccess>()->SetAccessMode(SafeVMAccess::kWriteAccess));
    ASSERT_OK(vm->RemoveHardDisk(1, 0, 3, true));
    EXPECT_FALSE(fs::exists(machineDir + "/data.vhdx"));
    ASSERT_OK(vm.Query<SafeVMAccess>()->Close());
    vm.Reset();

    ASSERT_OK(server->RemoveVM(vmcPath));
    EXPECT_FALSE(fs::exists(machineDir + "/Backup VM.vmc"));
    EXPECT_FALSE(fs::exists(machineDir + "/system.vhdx"));
    const Common::Error gone = server->GetRegisteredVM(vmcPath, vm);
    EXPECT_EQ(gone.Code(), Code::kOpenVMFailed);
    EXPECT_TRUE(gone.Cause().IsFailure());
  }
}

}  // namespace
