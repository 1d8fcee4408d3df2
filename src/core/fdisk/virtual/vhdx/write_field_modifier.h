// Header update protocol: the first modification of a file after it was
// opened replaces the header's FileWriteGuid, the first modification of its
// data also the DataWriteGuid, each once per opening.
#pragma once

#include <memory>

#include "core/fdisk/virtual/vhdx/file.h"
#include "core/fdisk/virtual/vhdx/observable.h"

namespace Vhdx {

class DataModificationsObserver {
 public:
  virtual ~DataModificationsObserver() = default;
  virtual void OnFileModified() = 0;
  virtual void OnDataModified() = 0;
};

class WriteFieldModifier : public DataModificationsObserver {
 public:
  class State;

  // Headers are read and written through headerFile (the raw file), so the
  // updates notify nobody.
  explicit WriteFieldModifier(std::shared_ptr<File> headerFile);
  ~WriteFieldModifier() override;

  void OnFileModified() override;
  void OnDataModified() override;

  // For tests: 0 neither field replaced, 1 FileWriteGuid, 2 both.
  int StateIndex() const;

 private:
  std::shared_ptr<File> headerFile_;
  const State* state_;
};

// Binds an Observer notification to one of the two modification kinds.
class FileModificationObserver : public Observer {
 public:
  enum class Kind { kFile, kData };
  FileModificationObserver(std::shared_ptr<DataModificationsObserver> target, Kind kind)
      : target_(std::move(target)), kind_(kind) {}
  void OnChange() override { kind_ == Kind::kFile ? target_->OnFileModified() : target_->OnDataModified(); }

 private:
  std::shared_ptr<DataModificationsObserver> target_;
  Kind kind_;
};

}  // namespace Vhdx
