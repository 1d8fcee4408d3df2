#include "core/file/dir_access.h"

#include <cstring>

#include "core/common/error_codes.h"
#include "core/file/file_errors.h"
#include "core/file/unix/file_name.h"
#include "core/file/unix/posix_error.h"

namespace FileLayer {
namespace {

// A path relative to base, or absolute: how names reach base.
std::u16string Join(const std::u16string& prefix, const std::u16string& name) {
  if (name.empty()) return prefix;
  if (name.front() == u'/' || prefix.empty()) return name;
  return prefix + u'/' + name;
}

// The directory path with ".", ".." and empty components resolved.
std::u16string Resolve(const std::u16string& directory, const std::u16string& name) {
  return FileNameFromSystem(JoinPath(FileNameToSystem(directory), FileNameToSystem(name)));
}

std::unique_ptr<rio_dir> OpenRelative(const std::shared_ptr<rio_dir>& root, const std::u16string& path,
                                      file_object& errors);

// A subdirectory of an agent's directory that cannot open one: every entry
// is reached through the root by its path relative to the root. Only the
// shared operations of the root are called.
class relative_dir final : public rio_dir {
 public:
  relative_dir(std::shared_ptr<rio_dir> root, std::u16string prefix)
      : root_(std::move(root)), prefix_(std::move(prefix)) {}

  std::unique_ptr<rio_file> Open(const std::u16string& name, int flags, bool no_lock, uint32_t mode) override {
    if (Failed()) return nullptr;
    return Took(root_->Open(Join(prefix_, name), flags, no_lock, mode));
  }
  std::unique_ptr<rio_dir> OpenSpecialDir(uint32_t id) override {
    if (Failed()) return nullptr;
    return Took(root_->OpenSpecialDir(id));
  }

  std::unique_ptr<i_dir::iterator> GetIterator() override { return GetIterator(u"*"); }
  std::unique_ptr<i_dir::iterator> GetIterator(const std::u16string& pattern) override {
    if (Failed()) return nullptr;
    return Took(root_->GetIterator(Join(prefix_, pattern)));
  }
  std::unique_ptr<i_dir::iterator> GetIterator(const std::u16string& pattern, uint32_t type_mask) override {
    if (Failed()) return nullptr;
    return Took(root_->GetIterator(Join(prefix_, pattern), type_mask));
  }
  std::unique_ptr<i_dir::iterator> GetSelfIterator() override {
    if (Failed()) return nullptr;
    return Took(root_->GetIterator(LookupPattern(prefix_)));
  }

  bool GetPath(std::u16string& path) override {
    path.clear();
    if (Failed()) return false;
    std::u16string rootPath;
    if (prefix_.front() != u'/' && !Took(root_->GetPath(rootPath))) return false;
    path = Resolve(rootPath, prefix_);
    return true;
  }
  bool ResolveSymLinks(const std::u16string& name, std::u16string& resolved) override {
    resolved.clear();
    if (Failed()) return false;
    return Took(root_->ResolveSymLinks(Join(prefix_, name), resolved));
  }
  // The root's volume: the best answer the shared operations give.
  bool GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) override {
    total = free = available = 0;
    if (Failed()) return false;
    return Took(root_->GetDriveSize(total, free, available));
  }

  int Compare(i_dir* other) override {
    std::u16string mine, theirs;
    if (!other || !GetPath(mine)) {
      TakeError();
      return 2;
    }
    if (other == this) return 0;
    if (!other->GetPath(theirs)) {
      other->TakeError();
      return 2;
    }
    if (mine == theirs) return 0;
    const std::u16string prefix = mine == u"/" ? mine : mine + u'/';
    return theirs.size() > prefix.size() && theirs.compare(0, prefix.size(), prefix) == 0 ? 1 : 2;
  }

  bool IOCTL(void* request) override {
    if (Failed()) return false;
    uint32_t command = 0;
    if (request) std::memcpy(&command, request, sizeof command);
    if (command != file_ioctl_code("ODIR")) return file_object::IOCTL(request);
    auto* r = static_cast<dir_ioctl_open_dir*>(request);
    // Stays one level deep: a subdirectory of this one is another path below the root.
    r->dir = OpenRelative(root_, Join(prefix_, r->name ? r->name : u""), *this);
    return r->dir != nullptr;
  }

  bool Remove(const std::u16string& name) override {
    return Call([&] { return root_->Remove(Join(prefix_, name)); });
  }
  bool Rename(const std::u16string& from, const std::u16string& to) override {
    return Call([&] { return root_->Rename(Join(prefix_, from), Join(prefix_, to)); });
  }
  bool CreateDir(const std::u16string& name, const file_attributes* attributes) override {
    return Call([&] { return root_->CreateDir(Join(prefix_, name), attributes); });
  }
  bool RemoveDir(const std::u16string& name) override {
    return Call([&] { return root_->RemoveDir(Join(prefix_, name)); });
  }
  // The target is stored as given: it is resolved where the link lies.
  bool CreateSymLink(const std::u16string& name, const std::u16string& target) override {
    return Call([&] { return root_->CreateSymLink(Join(prefix_, name), target); });
  }
  bool CreateHardLink(const std::u16string& name, const std::u16string& existing) override {
    return Call([&] { return root_->CreateHardLink(Join(prefix_, name), Join(prefix_, existing)); });
  }
  bool CreateDeviceNode(const std::u16string& name, const file_attributes& attributes) override {
    return Call([&] { return root_->CreateDeviceNode(Join(prefix_, name), attributes); });
  }
  bool SetUnixOwner(const std::u16string& name, uint32_t uid, uint32_t gid) override {
    return Call([&] { return root_->SetUnixOwner(Join(prefix_, name), uid, gid); });
  }
  bool SetUnixPermissions(const std::u16string& name, uint32_t mode) override {
    return Call([&] { return root_->SetUnixPermissions(Join(prefix_, name), mode); });
  }
  bool SetDOSAttributes(const std::u16string& name, uint32_t attributes) override {
    return Call([&] { return root_->SetDOSAttributes(Join(prefix_, name), attributes); });
  }

 private:
  // Moves a failure the root stored into this directory, where the caller
  // looks for it.
  template <class Result>
  Result Took(Result result) {
    if (root_->Failed()) SetError(root_->TakeError());
    return result;
  }
  bool Took(bool ok) {
    if (root_->Failed()) SetError(root_->TakeError());
    return ok && !Failed();
  }
  template <class Operation>
  bool Call(Operation operation) {
    if (Failed()) return false;
    return Took(operation());
  }

  std::shared_ptr<rio_dir> root_;
  std::u16string prefix_;
};

// path relative to root: a directory that exists. Failures go to errors.
std::unique_ptr<rio_dir> OpenRelative(const std::shared_ptr<rio_dir>& root, const std::u16string& path,
                                      file_object& errors) {
  std::unique_ptr<i_dir::iterator> entry =
      root->GetIterator(LookupPattern(path), i_dir::type_bit(entry_type::directory));
  if (!entry) {
    errors.SetError(root->TakeError());
    return nullptr;
  }
  if (entry->Failed()) {
    // Missing, or not a directory: either way nothing to open.
    errors.SetError(
        Common::Wrap(MakeFileError(Code::kFileOpen, Msg::kFileOpenError, HV_SITE("OpenDir"), FileNameToSystem(path)),
                     entry->TakeError()));
    return nullptr;
  }
  errors.SetError(Common::Success());
  return std::make_unique<relative_dir>(root, path.empty() ? u"." : path);
}

}  // namespace

std::unique_ptr<rio_dir> OpenDir(const std::shared_ptr<rio_dir>& base, const std::u16string& name) {
  dir_ioctl_open_dir request;
  request.name = name.c_str();
  if (base->IOCTL(&request)) return std::move(request.dir);
  Common::Error error = base->TakeError();
  if (error.Code() != Code::kNotSupported) {
    base->SetError(std::move(error));
    return nullptr;
  }
  return OpenRelative(base, name, *base);
}

std::unique_ptr<rio_dir> OpenDir(rio_dir& base, const std::u16string& name) {
  return OpenDir(std::shared_ptr<rio_dir>(std::shared_ptr<rio_dir>(), &base), name);
}

the_identifier IdentifierOf(i_dir::iterator& entry) {
  iterator_ioctl_identifier request;
  if (entry.IOCTL(&request)) return request.identifier;
  Common::Error error = entry.TakeError();
  if (error.Code() != Code::kNotSupported) {
    entry.SetError(std::move(error));
    return the_identifier();
  }
  file_attributes attributes;
  if (!entry.GetAttributes(attributes)) return the_identifier();
  std::vector<uint8_t> data;
  for (uint64_t value : {attributes.device, attributes.inode}) {
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  return the_identifier(entry.GetName(), std::move(data));
}

std::u16string LookupPattern(const std::u16string& name) {
  const size_t slash = name.rfind(u'/');
  const size_t start = slash == std::u16string::npos ? 0 : slash + 1;
  if (name.find_first_of(u"*?[", start) == std::u16string::npos) return name;
  std::u16string escaped = name.substr(0, start);
  for (size_t i = start; i < name.size(); ++i) {
    if (std::u16string_view(u"*?[\\").find(name[i]) != std::u16string_view::npos) escaped += u'\\';
    escaped += name[i];
  }
  return escaped;
}

}  // namespace FileLayer
