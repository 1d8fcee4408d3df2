#include "virtual_pc/hdd/hdd.h"

#include <utility>

#include "common/server/file_utils.h"
#include "core/common/assert.h"
#include "core/common/error.h"
#include "core/common/trace.h"
#include "core/fdisk/virtual/virtual_disks.h"
#include "hvplug/file.h"
#include "processor/runtime.h"

namespace VirtualPC {
namespace {

using Common::Error;
using Processor::AutoRef;
using Processor::InterfacePair;
using Processor::MetaClass;
namespace Ids = VirtualWareRaw::InterfaceIds;

std::u16string DirectoryPath(rio_dir& dir) {
  std::u16string path;
  if (!dir.GetPath(path)) dir.TakeError();
  return path;
}

class SafeRawHardDiskImpl final : public virtual VirtualWareRaw::SafeRawHardDisk {
 public:
  SafeRawHardDiskImpl(std::shared_ptr<rio_dir> dir, std::u16string diskFile, VirtualDisks::TrackerRef tracker,
                      bool firstFill)
      : dir_(std::move(dir)), diskFile_(std::move(diskFile)), tracker_(std::move(tracker)), firstFill_(firstFill) {
    HV_ASSERT(dir_ && !diskFile_.empty());
  }

  MetaClass* GetMetaClass() override {
    return Processor::InterfaceMetaClass<VirtualWareRaw::SafeRawHardDisk>::Instance();
  }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == Ids::SafeRawHardDisk || id == Ids::Interface)
      return Processor::AnswerInterface<VirtualWareRaw::SafeRawHardDisk>(this);
    return {};
  }

  Error GetDisk(std::shared_ptr<VirtualMachineDiskEx>& disk) override {
    if (!disk_) {
      if (Error error = OpenDisk()) return error;
    }
    disk = disk_;
    return Common::Success();
  }

 private:
  Error OpenDisk() {
    std::shared_ptr<VirtualMachineDiskEx> newOne;
    const Error error = VirtualDisks::OpenVhdxDisk(dir_, diskFile_, kHardDiskAdapterType, newOne, tracker_, firstFill_);
    const std::u16string file =
        diskFile_.front() == u'/' ? diskFile_ : VirtualWareRaw::JoinPath(DirectoryPath(*dir_), diskFile_);
    if (!error) {
      HV_ASSERT(newOne);
      Common::Trace(2, 0x53, 0, Msg::kTraceOpeningDisk, {file});
    }
    if (error || !newOne) {
      // The layer's error says what went wrong, this one with which file.
      return Common::Wrap(Common::MakeErrorWithArgs(Code::kOpenVirtualDiskFailed, Msg::kOpenVirtualDiskFailed,
                                                    HV_SITE("OpenDisk"), "fileName", {file}),
                          error);
    }
    disk_ = std::move(newOne);
    return Common::Success();
  }

  std::shared_ptr<rio_dir> dir_;
  std::u16string diskFile_;
  VirtualDisks::TrackerRef tracker_;
  bool firstFill_;
  std::shared_ptr<VirtualMachineDiskEx> disk_;
};

class MSVirtualPCHDD final : public virtual VirtualWareRaw::SafeHardDisk {
 public:
  MSVirtualPCHDD(std::shared_ptr<rio_dir> dir, std::u16string diskFile, uint32_t bus, uint32_t controller,
                 uint32_t device, VirtualDisks::TrackerRef tracker, bool firstFill)
      : dir_(std::move(dir)),
        diskFile_(std::move(diskFile)),
        bus_(bus),
        controller_(controller),
        device_(device),
        tracker_(std::move(tracker)),
        firstFill_(firstFill) {
    HV_ASSERT(dir_);
    HV_ASSERT(!diskFile_.empty());
  }

  MetaClass* GetMetaClass() override { return Processor::InterfaceMetaClass<VirtualWareRaw::SafeHardDisk>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == Ids::SafeHardDisk || id == Ids::Interface)
      return Processor::AnswerInterface<VirtualWareRaw::SafeHardDisk>(this);
    return {};
  }

  Error GetFileName(std::u16string& name) override {
    name = diskFile_.front() == u'/' ? diskFile_ : VirtualWareRaw::JoinPath(DirectoryPath(*dir_), diskFile_);
    return Common::Success();
  }
  Error GetHardDiskType(uint32_t& type) override {
    type = 0;
    return Common::Success();
  }
  Error GetBus(uint32_t& bus) override {
    bus = bus_;
    return Common::Success();
  }
  Error GetController(uint32_t& controller) override {
    controller = controller_;
    return Common::Success();
  }
  Error GetDevice(uint32_t& device) override {
    device = device_;
    return Common::Success();
  }
  Error GetRawDisk(AutoRef<VirtualWareRaw::SafeRawHardDisk>& raw) override {
    // Only the first: a later raw disk may meet data a finished fill left.
    raw = MakeRawHardDisk(dir_, diskFile_, tracker_, std::exchange(firstFill_, false));
    return Common::Success();
  }

 private:
  std::shared_ptr<rio_dir> dir_;
  std::u16string diskFile_;
  uint32_t bus_;
  uint32_t controller_;
  uint32_t device_;
  VirtualDisks::TrackerRef tracker_;
  bool firstFill_;
};

}  // namespace

AutoRef<VirtualWareRaw::SafeHardDisk> MakeMSVirtualPCHDD(std::shared_ptr<rio_dir> dir, std::u16string diskFile,
                                                         uint32_t bus, uint32_t controller, uint32_t device,
                                                         VirtualDisks::TrackerRef tracker, bool firstFill) {
  return Processor::MakeRef<VirtualWareRaw::SafeHardDisk, MSVirtualPCHDD>(
      std::move(dir), std::move(diskFile), bus, controller, device, std::move(tracker), firstFill);
}

AutoRef<VirtualWareRaw::SafeRawHardDisk> MakeRawHardDisk(std::shared_ptr<rio_dir> dir, std::u16string diskFile,
                                                         VirtualDisks::TrackerRef tracker, bool firstFill) {
  return Processor::MakeRef<VirtualWareRaw::SafeRawHardDisk, SafeRawHardDiskImpl>(std::move(dir), std::move(diskFile),
                                                                                  std::move(tracker), firstFill);
}

void DeleteDiskFile(rio_dir& dir, const std::u16string& diskFile) {
  if (dir.Remove(diskFile)) return;
  const std::u16string file = VirtualWareRaw::JoinPath(DirectoryPath(dir), diskFile);
  Error error = Common::MakeErrorWithArgs(Code::kRemoveHardDiskFailed, Msg::kRemoveDiskFileFailed,
                                          HV_SITE("RemoveHardDisk"), "fileName", {file});
  Common::Throw(Common::Wrap(std::move(error), dir.TakeError()));
}

}  // namespace VirtualPC
