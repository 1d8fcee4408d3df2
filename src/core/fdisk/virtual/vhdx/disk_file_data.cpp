// Stand-in for the data path until the block allocation table code provides
// CreateDiskFileData: the sector operations report that they are missing.
#include "core/common/error.h"
#include "core/fdisk/virtual/vhdx/disk_file.h"

namespace Vhdx {
namespace {

class MissingDiskFileData final : public DiskFileData {
 public:
  void ReadSectors(uint64_t, Vhd::Bitmap&, uint8_t*) override {
    HV_THROW(0x3C0000, Msg::kCodeNotImplemented, "ReadSectors");
  }
  void WriteSectors(uint64_t, uint64_t, const uint8_t*) override {
    HV_THROW(0x3C0000, Msg::kCodeNotImplemented, "WriteSectors");
  }
  void CollectChangedAreas(Vhd::ChangedFile&, Vhd::Collector<Vhd::DiskArea>&) override {
    HV_THROW(0x3C0000, Msg::kCodeNotImplemented, "CollectChangedAreas");
  }
};

}  // namespace

std::unique_ptr<DiskFileData> CreateDiskFileData(const DiskFileParts&) { return std::make_unique<MissingDiskFileData>(); }

}  // namespace Vhdx
