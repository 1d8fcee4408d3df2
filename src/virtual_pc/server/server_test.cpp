// Processor signatures, and one machine opened from many threads at once.
#include "virtual_pc/server/server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/disk_registry.h"
#include "hvplug/file_services.h"
#include "hvplug/virtual_machine_disk.h"
#include "virtual_pc/server/server_properties.h"

namespace {

using Processor::AutoRef;
using namespace VirtualWareRaw;

TEST(ProcessorSignature, ExtendedFieldsCountForFamilies6And15Only) {
  struct Case {
    uint32_t eax, family, model;
  };
  for (const Case& c : {Case{0x000506E3, 6, 0x5E},                        // extended model of a family 6 part
                        Case{0x00800F11, 0x17, 0x01},                     // family 15 plus the extended family
                        Case{0x00000F29, 15, 2}, Case{0x000F052C, 5, 2},  // extended fields ignored
                        Case{0x0FF00F00, 15 + 0xFF, 0}}) {
    uint32_t family = 0, model = 0;
    VirtualPC::DecodeProcessorSignature(c.eax, family, model);
    EXPECT_EQ(family, c.family) << std::hex << c.eax;
    EXPECT_EQ(model, c.model) << std::hex << c.eax;
  }
}

std::string Describe(const Common::Error& error) { return Common::DescribeErrorChain(error); }

std::shared_ptr<VirtualMachineDiskEx> FirstDisk(SafeVM& vm) {
  AutoRef<SafeHardDiskCollection> disks;
  AutoRef<SafeHardDisk> disk;
  AutoRef<SafeRawHardDisk> raw;
  std::shared_ptr<VirtualMachineDiskEx> opened;
  Common::Error error = vm.GetHardDisks(disks);
  if (!error) error = disks->GetItem(0, disk);
  if (!error) error = disk->GetRawDisk(raw);
  if (!error) error = raw->GetDisk(opened);
  EXPECT_FALSE(error) << Describe(error);
  return opened;
}

// Several callers open one machine while another reads its disk: each gets
// a machine of its own over the one opened disk, and nothing races.
TEST(ServerThreads, OneMachineOpenedFromManyThreadsSharesItsDisk) {
  char pattern[] = "/tmp/hvthreadsXXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::u16string vmcPath = Common::Utf8ToUtf16(dir + "/m/m.vmc");
  AutoRef<SafeVirtualServer> server = VirtualPC::CreateServer();
  ASSERT_FALSE(server.Query<FileServicesClient>()->SetFileServices(HostCreateFileServices()));
  std::vector<uint8_t> written(64 * 512);
  for (size_t i = 0; i < written.size(); ++i) written[i] = static_cast<uint8_t>(i * 13 + i / 512);
  {
    AutoRef<SafeVM> vm;
    Common::Error error = server->CreateVM(Common::Utf8ToUtf16(dir), u"m", 0, vm);
    ASSERT_FALSE(error) << Describe(error);
    AutoRef<SafeHardDisk> disk;
    error = vm->AddHardDisk(u"d.vhdx", 0, 0, 0, 16 << 20, 512, 0, 0, disk);
    ASSERT_FALSE(error) << Describe(error);
    std::shared_ptr<VirtualMachineDiskEx> opened = FirstDisk(*vm);
    ASSERT_TRUE(opened);
    ASSERT_FALSE(opened->IO(Fdisk::kIoWrite, written.data(), 0, 64));
    ASSERT_FALSE(vm.Query<SafeVMAccess>()->Close());
  }

  AutoRef<SafeVM> readerVM;
  ASSERT_FALSE(server->GetRegisteredVM(vmcPath, readerVM));
  std::shared_ptr<VirtualMachineDiskEx> shared = FirstDisk(*readerVM);
  ASSERT_TRUE(shared);
  const size_t entriesBefore = VirtualDisks::DiskRegistry::Instance()->GetEntryCount();

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread reader([&] {
    std::vector<uint8_t> read(written.size());
    for (int round = 0; round < 200 || !done; ++round) {
      if (shared->IO(Fdisk::kIoRead, read.data(), 0, 64) || read != written) ++failures;
    }
  });
  std::vector<std::thread> openers;
  for (int t = 0; t < 4; ++t) {
    openers.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        AutoRef<SafeVM> vm;
        if (server->GetRegisteredVM(vmcPath, vm)) {
          ++failures;
          continue;
        }
        std::shared_ptr<VirtualMachineDiskEx> disk = FirstDisk(*vm);
        if (!disk || disk->GetSectorCount() != shared->GetSectorCount()) ++failures;
        // Joining the opened disk registers nothing new.
        if (VirtualDisks::DiskRegistry::Instance()->GetEntryCount() > entriesBefore) ++failures;
      }
    });
  }
  for (std::thread& opener : openers) opener.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  shared.reset();
  readerVM.Reset();
  ASSERT_FALSE(server->RemoveVM(vmcPath));
  std::filesystem::remove_all(dir);
}

}  // namespace
