// Processor signatures, and one machine opened from many threads at once.
#include "virtual_pc/server/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/common/error.h"
#include "core/fdisk/virtual/disk_registry.h"
#include "hvplug/file_services.h"
#include "hvplug/virtual_machine_disk.h"
#include "virtual_pc/server/server_properties.h"
#include "virtual_pc/vm/vm_testutil.h"

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

std::shared_ptr<VirtualMachineDiskEx> FirstDisk(SafeVM& vm) {
  AutoRef<SafeHardDisk> disk = VmTest::DiskAt(vm, 0);
  return disk ? VmTest::SectorDisk(disk) : nullptr;
}

// Several callers open one machine while another reads its disk: each gets
// a machine of its own over the one opened disk, and nothing races.
TEST(ServerThreads, OneMachineOpenedFromManyThreadsSharesItsDisk) {
  ServerTest::Scratch scratch;
  const std::u16string vmcPath = Common::Utf8ToUtf16(scratch / "m/m.vmc");
  AutoRef<SafeVirtualServer> server = VirtualPC::CreateServer();
  ASSERT_FALSE(server.Query<FileServicesClient>()->SetFileServices(HostCreateFileServices()));
  const std::vector<uint8_t> written = VmTest::Pattern(64 * 512, 1);
  {
    AutoRef<SafeVM> vm;
    HV_OK(server->CreateVM(scratch.wpath(), u"m", 0, vm));
    AutoRef<SafeHardDisk> disk;
    HV_OK(vm->AddHardDisk(u"d.vhdx", 0, 0, 0, 16 << 20, 512, 0, 0, disk));
    std::shared_ptr<VirtualMachineDiskEx> opened = FirstDisk(*vm);
    ASSERT_TRUE(opened);
    HV_OK(opened->IO(Fdisk::kIoWrite, const_cast<uint8_t*>(written.data()), 0, 64));
    HV_OK(vm.Query<SafeVMAccess>()->Close());
  }

  AutoRef<SafeVM> readerVM;
  HV_OK(server->GetRegisteredVM(vmcPath, readerVM));
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
  HV_OK(server->RemoveVM(vmcPath));
}

}  // namespace
