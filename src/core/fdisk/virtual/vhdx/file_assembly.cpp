#include "core/fdisk/virtual/vhdx/file_assembly.h"

#include "core/fdisk/virtual/vhdx/observable.h"

namespace Vhdx {
namespace {

// The data layer, whose flushes can be switched off.
class DataLayerFile final : public ChangeTrackingFile {
 public:
  using ChangeTrackingFile::ChangeTrackingFile;
  void Flush() override {
    if (barriers_) ChangeTrackingFile::Flush();
  }
  void SetBarriers(bool on) { barriers_ = on; }

 private:
  bool barriers_ = true;
};

class ReadOnlyFileAssembly final : public FileAssembly {
 public:
  explicit ReadOnlyFileAssembly(std::shared_ptr<File> file) : file_(std::move(file)) {}
  std::shared_ptr<File> StructureFile() override { return file_; }
  std::shared_ptr<File> DataFile() override { return file_; }
  std::shared_ptr<File> RawFile() override { return file_; }
  void SetDataBarriers(bool) override {}

 private:
  std::shared_ptr<File> file_;
};

class WritableFileAssembly final : public FileAssembly {
 public:
  explicit WritableFileAssembly(std::shared_ptr<File> raw)
      : raw_(std::move(raw)),
        modifier_(std::make_shared<WriteFieldModifier>(raw_)),
        structure_(std::make_shared<ChangeTrackingFile>(raw_)),
        data_(std::make_shared<DataLayerFile>(raw_)) {
    structure_->AddObserver(
        std::make_shared<FileModificationObserver>(modifier_, FileModificationObserver::Kind::kFile));
    data_->AddObserver(std::make_shared<FileModificationObserver>(modifier_, FileModificationObserver::Kind::kData));
  }
  std::shared_ptr<File> StructureFile() override { return structure_; }
  std::shared_ptr<File> DataFile() override { return data_; }
  std::shared_ptr<File> RawFile() override { return raw_; }
  void SetDataBarriers(bool on) override { data_->SetBarriers(on); }

 private:
  std::shared_ptr<File> raw_;
  std::shared_ptr<WriteFieldModifier> modifier_;
  std::shared_ptr<ChangeTrackingFile> structure_;
  std::shared_ptr<DataLayerFile> data_;
};

}  // namespace

std::shared_ptr<FileAssembly> MakeReadOnlyFileAssembly(std::shared_ptr<File> protectedFile) {
  return std::make_shared<ReadOnlyFileAssembly>(std::move(protectedFile));
}

std::shared_ptr<FileAssembly> MakeWritableFileAssembly(std::shared_ptr<File> rawFile) {
  return std::make_shared<WritableFileAssembly>(std::move(rawFile));
}

}  // namespace Vhdx
