// The common part of the sector disks this layer hands out: a disk object
// that keeps its geometry and dispatches I/O to an implementation object,
// which holds the opened file and the error of opening it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/server/virtual_machine_disk_ex_base.h"
#include "hvplug/error.h"
#include "hvplug/virtual_machine_disk.h"

class rio_dir;
class rio_file;

namespace VirtualDisks {

// One opened disk file. A failure while opening is kept as the error state
// and returned by every later operation instead of being thrown.
class VirtualDiskImpl {
 public:
  VirtualDiskImpl();
  VirtualDiskImpl(const VirtualDiskImpl&) = delete;
  VirtualDiskImpl& operator=(const VirtualDiskImpl&) = delete;
  virtual ~VirtualDiskImpl();

  virtual Common::Error Read(void* buffer, uint64_t firstSector, uint64_t sectorCount) = 0;
  virtual Common::Error Write(const void* buffer, uint64_t firstSector, uint64_t sectorCount) = 0;
  virtual Common::Error Flush() = 0;
  virtual uint32_t GetSectorSize() const = 0;
  virtual uint64_t GetSectorCount() const = 0;
  virtual void GetGeometry(Fdisk::Geometry& geometry) const = 0;
  virtual uint32_t GetAdapterType() const = 0;

  // Opens name through dir; a failure becomes the error state.
  void Initialize(std::shared_ptr<rio_dir> dir, const std::u16string& name);

  const Common::Error& GetErrorState() const { return error_; }
  const std::shared_ptr<rio_dir>& GetDirectory() const { return dir_; }
  const std::u16string& GetFileName() const { return fileName_; }

 protected:
  void SetErrorState(Common::Error error) { error_ = std::move(error); }
  // Hands the opened file over (to the engine that reads it).
  std::shared_ptr<rio_file> TakeFile() { return std::move(file_); }

 private:
  std::shared_ptr<rio_dir> dir_;
  std::u16string fileName_;
  std::shared_ptr<rio_file> file_;
  Common::Error error_;
};

// Geometry and sizes are taken from the implementation once, when the disk is
// built; slot 5 goes to its read, write and flush.
class VirtualDiskBase : public VirtualMachineDisk {
 public:
  explicit VirtualDiskBase(std::unique_ptr<VirtualDiskImpl> impl);
  ~VirtualDiskBase() override;

  uint32_t GetSectorSize() const override { return sectorSize_; }
  uint64_t GetSectorCount() const override { return sectorCount_; }
  const Fdisk::Geometry& GetGeometry() const override { return geometry_; }
  Common::Error IO(uint32_t mode, void* buffer, uint64_t firstSector, uint64_t sectorCount) override;
  Common::Error GetPlatformHandle(intptr_t& handle) override;
  Common::Error GetCurrentChangeID(std::u16string& changeId) override;
  Common::Error GetChangedSectors(const std::u16string& changeId, const Fdisk::SectorRange& range,
                                  std::vector<Fdisk::SectorRange>& changed) override;
  uint32_t GetAdapterType() const override { return adapterType_; }

  VirtualDiskImpl& Impl() const { return *impl_; }

 private:
  uint32_t sectorSize_;
  uint64_t sectorCount_;
  Fdisk::Geometry geometry_;
  std::unique_ptr<VirtualDiskImpl> impl_;
  uint32_t adapterType_;
};

// An extended disk handed out over a held disk: every sector slot goes to
// it. The metadata slots are the subclass's to give.
template <class Held>
class ForwardingDiskEx : public VirtualWareRaw::VirtualMachineDiskExBase {
 public:
  explicit ForwardingDiskEx(std::unique_ptr<Held> disk) : disk_(std::move(disk)) {}

  uint32_t GetSectorSize() const override { return disk_->GetSectorSize(); }
  uint64_t GetSectorCount() const override { return disk_->GetSectorCount(); }
  const Fdisk::Geometry& GetGeometry() const override { return disk_->GetGeometry(); }
  Common::Error IO(uint32_t mode, void* buffer, uint64_t firstSector, uint64_t sectorCount) override {
    return disk_->IO(mode, buffer, firstSector, sectorCount);
  }
  Common::Error GetPlatformHandle(intptr_t& handle) override { return disk_->GetPlatformHandle(handle); }
  Common::Error GetCurrentChangeID(std::u16string& changeId) override { return disk_->GetCurrentChangeID(changeId); }
  Common::Error GetChangedSectors(const std::u16string& changeId, const Fdisk::SectorRange& range,
                                  std::vector<Fdisk::SectorRange>& changed) override {
    return disk_->GetChangedSectors(changeId, range, changed);
  }
  uint32_t GetAdapterType() const override { return disk_->GetAdapterType(); }

 protected:
  std::unique_ptr<Held> disk_;
};

}  // namespace VirtualDisks
