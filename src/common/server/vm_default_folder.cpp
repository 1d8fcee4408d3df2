#include "common/server/vm_default_folder.h"

#include <unistd.h>

#include <mutex>
#include <optional>

#include "core/common/error.h"
#include "core/file/dir_access.h"
#include "hvplug/file.h"

namespace VirtualWareRaw {
namespace {

TextList ApplianceFolders(rio_dir& root) {
  TextList folders;
  std::unique_ptr<i_dir::iterator> entry = root.GetIterator(u"*", i_dir::type_bit(entry_type::directory));
  if (!entry) Common::Throw(root.TakeError());
  while (!entry->Failed()) {
    std::unique_ptr<rio_dir> dir = FileLayer::OpenDir(root, entry->GetName());
    std::u16string path;
    if (dir && dir->GetPath(path)) folders.push_back(path);
    if (!dir) root.TakeError();
    entry->Next();
  }
  return folders;
}

TextList SpecialFolders(rio_dir& root) {
  std::unique_ptr<rio_dir> dir = root.OpenSpecialDir(143);
  if (!dir) Common::Throw(root.TakeError());
  std::u16string path;
  if (!dir->GetPath(path)) Common::Throw(dir->TakeError());
  return {path};
}

struct FolderCache {
  std::mutex mutex;
  std::optional<TextList> appliance;
  std::optional<TextList> special;
};

FolderCache& Cache() {
  // Kept until unload; an object rather than a leaked pointer, so that
  // unloading the plug-in frees it.
  static FolderCache cache;
  return cache;
}

}  // namespace

bool IsAppliance() {
  static const bool appliance =
      access("/etc/virtual_appliance.conf", F_OK) == 0 || access("/etc/esx_appliance.conf", F_OK) == 0;
  return appliance;
}

TextList ComputeVMDefaultFolders(rio_dir& root, bool appliance) {
  return appliance ? ApplianceFolders(root) : SpecialFolders(root);
}

TextList GetVMDefaultFolders(rio_dir& root) {
  FolderCache& cache = Cache();
  const std::lock_guard<std::mutex> lock(cache.mutex);
  // A failed computation is not kept, so the next call tries again.
  std::optional<TextList>& list = IsAppliance() ? cache.appliance : cache.special;
  if (!list) list = ComputeVMDefaultFolders(root, IsAppliance());
  return *list;
}

}  // namespace VirtualWareRaw
