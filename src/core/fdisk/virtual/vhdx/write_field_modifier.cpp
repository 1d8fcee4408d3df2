#include "core/fdisk/virtual/vhdx/write_field_modifier.h"

#include "core/fdisk/virtual/vhdx/header.h"

namespace Vhdx {

// One stateless object per state; a transition happens only after the
// header write succeeded, so a failed write is retried by the next change.
// New GUIDs are made durable before the change that caused them goes on: a
// child made from this file after the change must never find its parent
// with the old DataWriteGuid after a power loss, nor a parent with changed
// data under the GUID the child knew.
class WriteFieldModifier::State {
 public:
  virtual ~State() = default;
  virtual const State* OnFileModified(File& file) const = 0;
  virtual const State* OnDataModified(File& file) const = 0;
  virtual int Index() const = 0;
};

namespace {

void WriteDurably(const HeaderInfo& info, File& file) {
  info.Write(file);
  file.Flush();
}

class BothFieldsModifiedState final : public WriteFieldModifier::State {
 public:
  const State* OnFileModified(File&) const override { return this; }
  const State* OnDataModified(File&) const override { return this; }
  int Index() const override { return 2; }
};
const BothFieldsModifiedState kBoth;

class WriteFieldModifiedState final : public WriteFieldModifier::State {
 public:
  const State* OnFileModified(File&) const override { return this; }
  const State* OnDataModified(File& file) const override {
    HeaderInfo info = HeaderInfo::Read(file);
    info.dataWriteGuid = Common::GenerateGuid();
    WriteDurably(info, file);
    return &kBoth;
  }
  int Index() const override { return 1; }
};
const WriteFieldModifiedState kWriteField;

class NeitherFieldModifiedState final : public WriteFieldModifier::State {
 public:
  const State* OnFileModified(File& file) const override {
    HeaderInfo info = HeaderInfo::Read(file);
    info.fileWriteGuid = Common::GenerateGuid();
    WriteDurably(info, file);
    return &kWriteField;
  }
  const State* OnDataModified(File& file) const override {
    HeaderInfo info = HeaderInfo::Read(file);
    info.fileWriteGuid = Common::GenerateGuid();
    info.dataWriteGuid = Common::GenerateGuid();
    WriteDurably(info, file);
    return &kBoth;
  }
  int Index() const override { return 0; }
};
const NeitherFieldModifiedState kNeither;

}  // namespace

WriteFieldModifier::WriteFieldModifier(std::shared_ptr<File> headerFile)
    : headerFile_(std::move(headerFile)), state_(&kNeither) {}
WriteFieldModifier::~WriteFieldModifier() = default;

void WriteFieldModifier::OnFileModified() { state_ = state_->OnFileModified(*headerFile_); }
void WriteFieldModifier::OnDataModified() { state_ = state_->OnDataModified(*headerFile_); }
int WriteFieldModifier::StateIndex() const { return state_->Index(); }

}  // namespace Vhdx
