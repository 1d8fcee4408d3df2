// Stand-in for the agent's file services: hands out local-file-system
// directories.
#include "hvplug/file_services.h"

#include <string>

#include "core/common/error.h"
#include "core/file/unix/posix_dir.h"
#include "processor/runtime.h"

namespace {

class FileServicesImpl final : public virtual VirtualWareRaw::FileServices {
 public:
  FileServicesImpl(std::string rootPath, Processor::AutoRef<VirtualWareRaw::FileTracker> tracker)
      : rootPath_(std::move(rootPath)), tracker_(std::move(tracker)) {}

  Processor::MetaClass* GetMetaClass() override {
    return Processor::InterfaceMetaClass<VirtualWareRaw::FileServices>::Instance();
  }

  Processor::InterfacePair QueryInterface(uint32_t id) override {
    if (id == VirtualWareRaw::InterfaceIds::FileServices)
      return Processor::AnswerInterface<VirtualWareRaw::FileServices>(this);
    // The tracker is another object: the answer is its own interface pair.
    if (id == VirtualWareRaw::InterfaceIds::FileTracker && tracker_)
      return tracker_.GetMetaClass()->Cast(id, tracker_.Get());
    return {};
  }

  // Every caller gets its own directory object: they are not shared between threads.
  Common::Error GetRootDir(std::shared_ptr<rio_dir>& root) override {
    root = std::make_shared<posix_dir>(rootPath_);
    return Common::Success();
  }

 private:
  std::string rootPath_;
  Processor::AutoRef<VirtualWareRaw::FileTracker> tracker_;
};

}  // namespace

Processor::AutoRef<VirtualWareRaw::FileServices> HostCreateFileServices(
    const char* root_path, Processor::AutoRef<VirtualWareRaw::FileTracker> tracker) {
  return Processor::MakeRef<VirtualWareRaw::FileServices, FileServicesImpl>(
      std::string(root_path && *root_path ? root_path : "/"), std::move(tracker));
}
