// The loaded plug-in against an agent's file layer: the root handed over is
// the host library's, jailed so that its paths exist only through it. A
// machine and its disk are made, written, listed and reopened through the
// plug-in's interfaces; anything that went around the root to local files
// would miss them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../plugin_testutil.h"
#include "contract_root.h"
#include "core/common/error.h"
#include "hvplug/virtual_machine_disk.h"
#include "processor/runtime.h"

namespace {

namespace fs = std::filesystem;
using Processor::AutoRef;
using namespace VirtualWareRaw;
using PluginTesting::Describe;

// The agent's services: each caller gets a root of its own.
class JailedServices final : public virtual FileServices {
 public:
  JailedServices(std::string folder, bool extras) : folder_(std::move(folder)), extras_(extras) {}
  Processor::MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<FileServices>::Instance(); }
  Processor::InterfacePair QueryInterface(uint32_t id) override {
    if (id == InterfaceIds::FileServices) return Processor::AnswerInterface<FileServices>(this);
    return {};
  }
  Common::Error GetRootDir(std::shared_ptr<rio_dir>& root) override {
    root = ContractCreateJail(folder_.c_str(), extras_);
    return Common::Success();
  }

 private:
  std::string folder_;
  bool extras_;
};

std::vector<uint8_t> Pattern(size_t bytes, uint8_t salt) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + salt + i / 4096);
  return data;
}

class PluginContract : public PluginTesting::PluginFixture, public ::testing::WithParamInterface<bool> {
 protected:
  AutoRef<SafeVirtualServer> Server() {
    return OpenServer(Processor::MakeRef<FileServices, JailedServices>(dir_, GetParam()));
  }
};

TEST_P(PluginContract, MachinesAndDisksLiveOnlyBehindTheAgentsRoot) {
  ContractCounters& counters = ContractGetCounters();
  const uint64_t opens = counters.opens, reads = counters.reads, writes = counters.writes,
                 iterators = counters.iterators, extras = counters.extras, positioned = counters.positioned;
  ASSERT_TRUE(fs::create_directory(dir_ + "/vms"));
  const std::vector<uint8_t> first = Pattern(64 * 512, 1), last = Pattern(8 * 4096, 2);
  uint64_t bigSectors = 0;
  {
    AutoRef<SafeVirtualServer> server = Server();
    AutoRef<SafeVM> vm;
    ASSERT_OK(server->CreateVM(u"/vms", u"Contract VM", 0, vm));
    EXPECT_TRUE(fs::exists(dir_ + "/vms/Contract VM/Contract VM.vmc"));
    AutoRef<SafeHardDisk> system, big;
    ASSERT_OK(vm->AddHardDisk(u"system.vhdx", 0, 0, 0, 16 << 20, 512, 0, 0, system));
    ASSERT_OK(vm->AddHardDisk(u"big", 1, 0, 2, 32 << 20, 4096, 0, 0, big));
    EXPECT_TRUE(fs::exists(dir_ + "/vms/Contract VM/big.vhdx"));
    std::shared_ptr<VirtualMachineDiskEx> disk = OpenDisk(system), bigDisk = OpenDisk(big);
    ASSERT_TRUE(disk && bigDisk);
    EXPECT_EQ(bigDisk->GetSectorSize(), 4096u);
    bigSectors = bigDisk->GetSectorCount();
    ASSERT_OK(disk->IO(Fdisk::kIoWrite, const_cast<uint8_t*>(first.data()), 100, 64));
    ASSERT_OK(bigDisk->IO(Fdisk::kIoWrite, const_cast<uint8_t*>(last.data()), bigSectors - 8, 8));
    std::vector<uint8_t> back(first.size());
    ASSERT_OK(disk->IO(Fdisk::kIoRead, back.data(), 100, 64));
    EXPECT_TRUE(back == first);
    ASSERT_OK(vm.Query<SafeVMAccess>()->Close());
  }

  AutoRef<SafeVirtualServer> server = Server();
  AutoRef<SafeVMCollection> machines;
  ASSERT_OK(
      server.Query<VirtualWorkstation>()->GetRegisteredVMs(u"/vms", Common::Credentials{}, u"Contract VM", machines));
  uint32_t count = 0;
  ASSERT_OK(machines->GetCount(count));
  EXPECT_EQ(count, 1u);
  AutoRef<SafeVM> vm;
  ASSERT_OK(server->GetRegisteredVM(u"/vms/Contract VM/Contract VM.vmc", vm));
  AutoRef<SafeHardDiskCollection> disks;
  ASSERT_OK(vm->GetHardDisks(disks));
  ASSERT_OK(disks->GetCount(count));
  ASSERT_EQ(count, 2u);
  AutoRef<SafeHardDisk> system, big;
  ASSERT_OK(disks->GetItem(0, system));
  ASSERT_OK(disks->GetItem(1, big));
  std::u16string name;
  ASSERT_OK(big->GetFileName(name));
  EXPECT_EQ(name, u"/vms/Contract VM/big.vhdx");
  {
    std::shared_ptr<VirtualMachineDiskEx> disk = OpenDisk(system), bigDisk = OpenDisk(big);
    ASSERT_TRUE(disk && bigDisk);
    std::vector<uint8_t> back(first.size()), bigBack(last.size()), zeros(512, 1);
    ASSERT_OK(disk->IO(Fdisk::kIoRead, back.data(), 100, 64));
    EXPECT_TRUE(back == first);
    ASSERT_OK(disk->IO(Fdisk::kIoRead, zeros.data(), 99, 1));
    EXPECT_EQ(zeros, std::vector<uint8_t>(512, 0));
    ASSERT_OK(bigDisk->IO(Fdisk::kIoRead, bigBack.data(), bigSectors - 8, 8));
    EXPECT_TRUE(bigBack == last);
    std::vector<Fdisk::SectorRange> changed;
    ASSERT_OK(bigDisk->GetChangedSectors(u"*", {0, bigSectors}, changed));
    ASSERT_FALSE(changed.empty());
    EXPECT_EQ(changed.back().start + changed.back().length, bigSectors);
  }
  ASSERT_OK(vm.Query<SafeVMAccess>()->Close());

  // Everything went through the host's objects; the requests only some file
  // layers answer were asked, and used only where offered: disks were read
  // and written by positioned requests there, by Seek then Read or Write
  // elsewhere (the machine file is read and written in sequence either way).
  EXPECT_GT(counters.opens, opens + 4);
  EXPECT_GT(counters.reads, reads);
  EXPECT_GT(counters.writes, writes);
  EXPECT_GT(counters.iterators, iterators);
  EXPECT_EQ(counters.extras > extras, GetParam());
  EXPECT_EQ(counters.positioned > positioned, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Extras, PluginContract, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Offered" : "SharedOperationsOnly"; });

}  // namespace
