#include "common/server/file_utils.h"

#include "core/common/error.h"
#include "core/file/dir_access.h"
#include "core/file/file_errors.h"
#include "hvplug/logging.h"

namespace VirtualWareRaw {

namespace {

void TraceFailure(const Common::Error& error) {
  std::string tag;
  Logging_BuildLineTag(tag, "common/server/file_utils",
                       "bool VirtualWareRaw::FileObjectExists(ri_dir&, const Common::String&)", 139);
  if (Logging::Tracer* tracer = Logging_GetTracer()) tracer->TraceTaggedError(tag, error);
}

// The listing of a missing entry ends at once; that answers the question.
bool IsAbsence(const Common::Error& error) {
  return error.Code() == Code::kEndOfFile || error.Code() == Code::kFileNotFound;
}

// A name with wildcard characters would be taken as a pattern: compare it
// with every entry instead.
bool ListedExactly(ri_dir& dir, const std::u16string& name) {
  // A pattern's leading path names the directory to list.
  const std::u16string parentPath = GetParentPath(name);
  const std::u16string last = GetLastComponent(name);
  std::unique_ptr<i_dir::iterator> entry = dir.GetIterator(parentPath.empty() ? u"*" : JoinPath(parentPath, u"*"));
  if (!entry) {
    Common::Error error = dir.TakeError();
    if (!IsAbsence(error)) TraceFailure(error);
    return false;
  }
  for (; !entry->Failed(); entry->Next()) {
    if (entry->GetName() == last) return true;
  }
  Common::Error error = entry->TakeError();
  if (!IsAbsence(error)) TraceFailure(error);
  return false;
}

}  // namespace

bool FileObjectExists(ri_dir& dir, const std::u16string& name) {
  if (name.find_first_of(u"*?[") != std::u16string::npos) return ListedExactly(dir, name);
  std::unique_ptr<i_dir::iterator> entry = dir.GetIterator(name);
  Common::Error error = entry ? entry->TakeError() : dir.TakeError();
  if (error.IsSuccess()) return true;
  if (!IsAbsence(error)) TraceFailure(error);
  return false;
}

bool FileExists(rio_dir& root, const std::u16string& path) {
  const std::u16string parent = GetParentPath(path);
  const std::u16string name = GetLastComponent(path);
  if (name.empty()) return false;
  if (parent.empty()) return FileObjectExists(root, name);
  std::unique_ptr<rio_dir> dir = FileLayer::OpenDir(root, parent);
  if (!dir) {
    root.TakeError();
    return false;
  }
  return FileObjectExists(*dir, name);
}

std::u16string GetFileExtension(const std::u16string& fileName) {
  const std::u16string name = GetLastComponent(fileName);
  const size_t dot = name.rfind(u'.');
  return dot == std::u16string::npos ? std::u16string() : name.substr(dot + 1);
}

std::u16string GetParentPath(const std::u16string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == u'/') --end;
  const size_t slash = path.rfind(u'/', end - 1);
  if (slash == std::u16string::npos) return {};
  if (slash == 0) return u"/";
  return path.substr(0, slash);
}

std::u16string GetLastComponent(const std::u16string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == u'/') --end;
  const size_t slash = end == 0 ? std::u16string::npos : path.rfind(u'/', end - 1);
  const size_t start = slash == std::u16string::npos ? 0 : slash + 1;
  return path.substr(start, end - start);
}

std::u16string JoinPath(const std::u16string& directory, const std::u16string& name) {
  if (directory.empty()) return name;
  if (directory.back() == u'/') return directory + name;
  return directory + u'/' + name;
}

std::u16string MakeFileName(const std::u16string& name, const std::u16string& extension) { return name + extension; }

void CopyFileError(file_object& from, file_object& to) { to.SetError(from.TakeError()); }

void VerifyFileObject(file_object& object) {
  if (object.GetError().Code() == Code::kNotSupported) Common::Throw(object.TakeError());
}

void SetUnixOwner(rio_dir& dir, const std::u16string& name, uint32_t uid, uint32_t gid) {
  if (!dir.SetUnixOwner(name, uid, gid)) Common::Throw(dir.TakeError());
}

void RenameVMFiles(rio_dir& parent, const std::u16string& oldName, const std::u16string& newName,
                   const std::u16string& extension) {
  if (!parent.Rename(oldName, newName)) Common::Throw(parent.TakeError());
  std::unique_ptr<rio_dir> dir = FileLayer::OpenDir(parent, newName);
  if (!dir) Common::Throw(parent.TakeError());
  if (!dir->Rename(MakeFileName(oldName, extension), MakeFileName(newName, extension))) {
    const Common::Error error = dir->TakeError();
    // Half a rename would leave a folder whose file no longer matches it.
    if (!parent.Rename(newName, oldName)) parent.TakeError();
    Common::Throw(error);
  }
}

}  // namespace VirtualWareRaw
