#include "core/file/unix/posix_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/common/error_codes.h"
#include "core/file/file_errors.h"
#include "core/file/unix/backup_stream.h"
#include "core/file/unix/file_name.h"
#include "core/file/unix/posix_error.h"
#include "core/file/unix/posix_file.h"
#include "hvplug/linux_ex.h"

using namespace FileLayer;

namespace {

// Writing past the file-size limit must fail with EFBIG instead of ending
// the process.
void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { signal(SIGXFSZ, SIG_IGN); });
}

bool IsWriteAccess(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

}  // namespace

posix_dir::posix_dir(std::string path) : path_(std::move(path)) {
  notification_.owner = this;
  notification_.path = path_;
}

posix_dir::posix_dir(const std::u16string& path) : posix_dir(FileNameToSystem(path)) {}

posix_dir::~posix_dir() { UnregisterNotification(notification_); }

bool posix_dir::Store(Common::Error error) {
  const bool ok = error.IsSuccess();
  SetError(std::move(error));
  return ok;
}

std::string posix_dir::EntryPath(const std::u16string& name) const {
  // A name with an embedded NUL would reach the system cut short, naming
  // another entry. The empty path fails every call with ENOENT instead.
  if (name.find(u'\0') != std::u16string::npos) return std::string();
  return JoinPath(path_, FileNameToSystem(name));
}

// Opening ------------------------------------------------------------------------

std::unique_ptr<rio_file> posix_dir::Open(const std::u16string& name, int flags, bool no_lock, uint32_t mode) {
  if (Failed()) return nullptr;
  const std::string path = EntryPath(name);
  // A file must not be emptied before its lock is held.
  bool truncateLater = false;
  if (!no_lock && (flags & O_TRUNC)) {
    flags &= ~O_TRUNC;
    truncateLater = true;
  }
  const bool writing = IsWriteAccess(flags);
  if (writing) IgnoreFileSizeSignal();

  const int fd = LinuxExOpen(path.c_str(), flags, static_cast<mode_t>(mode));
  if (fd < 0) {
    Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("Open"), path));
    return nullptr;
  }
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("Open"), path));
    LinuxExClose(fd);
    return nullptr;
  }
  if (!no_lock) {
    struct flock lock {};
    lock.l_type = writing ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (LinuxExRangeLock(fd, F_SETLK, &lock) != 0) {
      const Common::Error lockError =
          MakePosixFileError(errno, Code::kFileLock, Msg::kFileLockError, HV_SITE("Open"), path);
      Store(Common::Wrap(MakeFileError(Code::kAccessDenied, Msg::kFileAccessDenied, HV_SITE("Open"), path), lockError));
      LinuxExClose(fd);
      return nullptr;
    }
  }
  auto file = std::make_unique<posix_file>(fd, no_lock);
  if (truncateLater && ftruncate(fd, 0) != 0) {
    Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("Open"), path));
    return nullptr;
  }
  Store(Common::Success());
  return file;
}

std::unique_ptr<rio_dir> posix_dir::OpenDir(const std::u16string& name) {
  if (Failed()) return nullptr;
  const std::string path = EntryPath(name);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("OpenDir"), path));
    return nullptr;
  }
  if (!S_ISDIR(st.st_mode)) {
    Store(MakePosixFileError(ENOTDIR, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("OpenDir"), path));
    return nullptr;
  }
  Store(Common::Success());
  return std::make_unique<posix_dir>(path);
}

std::unique_ptr<rio_dir> posix_dir::OpenSpecialDir(uint32_t id) {
  if (Failed()) return nullptr;
  std::string path;
  switch (id) {
    case 143:
      path = "/var/lib";
      break;
    case 144:
    case 145: {
      const char* home = std::getenv("HOME");
      if (!home || home[0] != '/') {
        Store(MakeFileError(Code::kFileOpen, Msg::kFileOpenError, HV_SITE("OpenSpecialDir"), home ? home : ""));
        return nullptr;
      }
      path = home;
      break;
    }
    case 149:
      path = "/tmp";
      break;
    case 156:
      path = "/var/log";
      break;
    default:
      StoreNotSupported(*this, HV_SITE("OpenSpecialDir"));
      return nullptr;
  }
  Store(Common::Success());
  return std::make_unique<posix_dir>(path);
}

// Listing ---------------------------------------------------------------------------

std::unique_ptr<i_dir::iterator> posix_dir::MakeIterator(const std::u16string* pattern, uint32_t type_mask) {
  if (Failed()) return nullptr;
  const std::string systemPattern = pattern ? FileNameToSystem(*pattern) : std::string();
  // A pattern that begins with a path lists the directory the path names.
  std::string directory = path_;
  std::string lastPattern = systemPattern;
  if (const size_t slash = systemPattern.rfind('/'); slash != std::string::npos) {
    directory = JoinPath(path_, slash == 0 ? "/" : systemPattern.substr(0, slash));
    lastPattern = systemPattern.substr(slash + 1);
  }
  if (pattern && lastPattern.find_first_of("*?[") == std::string::npos) {
    // A plain name: look that entry up instead of reading the directory.
    auto single = std::make_unique<self_iterator>(JoinPath(path_, systemPattern));
    if (!single->Failed() && !(type_mask & type_bit(single->GetType())))
      single->SetError(MakeFileError(Code::kEndOfFile, Msg::kFileEndReached, HV_SITE("GetIterator")));
    Store(Common::Success());
    return single;
  }
  DIR* stream = opendir(directory.c_str());
  if (!stream) {
    Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("GetIterator"), directory));
    return nullptr;
  }
  auto entries = std::make_unique<iterator>(directory, stream, lastPattern, type_mask);
  Store(Common::Success());
  return entries;
}

std::unique_ptr<i_dir::iterator> posix_dir::GetIterator() { return MakeIterator(nullptr, all_types); }

std::unique_ptr<i_dir::iterator> posix_dir::GetIterator(const std::u16string& pattern) {
  return MakeIterator(&pattern, all_types);
}

std::unique_ptr<i_dir::iterator> posix_dir::GetIterator(const std::u16string& pattern, uint32_t type_mask) {
  return MakeIterator(&pattern, type_mask);
}

std::unique_ptr<i_dir::iterator> posix_dir::GetSelfIterator() {
  if (Failed()) return nullptr;
  auto self = std::make_unique<self_iterator>(path_);
  Store(Common::Success());
  return self;
}

bool posix_dir::GetPath(std::u16string& path) {
  path.clear();
  if (Failed()) return false;
  path = FileNameFromSystem(path_);
  return true;
}

int posix_dir::Compare(i_dir* other) {
  if (!other) return 2;
  if (other == static_cast<i_dir*>(this)) return 0;
  // The other directory may be the agent's: only its path is asked for.
  std::u16string otherWide;
  if (!other->GetPath(otherWide)) return 2;
  const std::string otherPath = FileNameToSystem(otherWide);
  if (otherPath == path_) return 0;
  if (otherPath.size() > path_.size() && otherPath.compare(0, path_.size(), path_) == 0 &&
      (otherPath[path_.size()] == '/' || (!path_.empty() && path_.back() == '/')))
    return 1;
  return 2;
}

// Queries --------------------------------------------------------------------------------

bool posix_dir::GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) {
  total = free = available = 0;
  if (Failed()) return false;
  struct statfs info {};
  if (statfs(path_.c_str(), &info) != 0) {
    return Store(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("GetDriveSize"), path_));
  }
  if (info.f_bsize == 0)
    return Store(MakeFileError(Code::kFileRead, Msg::kFileReadError, HV_SITE("GetDriveSize"), path_));
  const auto blockSize = static_cast<uint64_t>(info.f_bsize);
  total = blockSize * static_cast<uint64_t>(info.f_blocks);
  free = blockSize * static_cast<uint64_t>(info.f_bfree);
  available = blockSize * static_cast<uint64_t>(info.f_bavail);
  return true;
}

bool posix_dir::ResolveSymLinks(const std::u16string& name, std::u16string& resolved) {
  resolved.clear();
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  char* real = realpath(path.c_str(), nullptr);
  if (!real)
    return Store(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("ResolveSymLinks"), path));
  resolved = FileNameFromSystem(real);
  std::free(real);
  return true;
}

bool posix_dir::EnableNotification(std::shared_ptr<dir_notification_handler> handler) {
  if (Failed()) return false;
  if (!handler) return StoreNotSupported(*this, HV_SITE("EnableNotification"));
  RegisterNotification(notification_, std::move(handler));
  return true;
}

// Changing entries ---------------------------------------------------------------------

bool posix_dir::Remove(const std::u16string& name) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  if (unlink(path.c_str()) != 0)
    return Store(MakePosixFileError(errno, Code::kFileDelete, Msg::kFileDeleteError, HV_SITE("Remove"), path));
  return true;
}

bool posix_dir::Rename(const std::u16string& from, const std::u16string& to) {
  if (Failed()) return false;
  const std::string source = EntryPath(from);
  const std::string target = EntryPath(to);
  if (rename(source.c_str(), target.c_str()) != 0)
    return Store(
        MakePosixFileError(errno, Code::kFileRename, Msg::kFileRenameError, HV_SITE("Rename"), source, target));
  return true;
}

bool posix_dir::CreateDir(const std::u16string& name, const file_attributes* attributes) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  const mode_t mode = attributes ? static_cast<mode_t>(attributes->mode & 07777) : 0755;
  if (mkdir(path.c_str(), mode) != 0)
    return Store(MakePosixFileError(errno, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("CreateDir"), path));
  return true;
}

bool posix_dir::RemoveDir(const std::u16string& name) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  if (rmdir(path.c_str()) != 0)
    return Store(MakePosixFileError(errno, Code::kFileDelete, Msg::kFileDeleteError, HV_SITE("RemoveDir"), path));
  return true;
}

bool posix_dir::CreateSymLink(const std::u16string& name, const std::u16string& target) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  const std::string content = FileNameToSystem(target);
  if (symlink(content.c_str(), path.c_str()) != 0) {
    const int errnum = errno;
    if (errnum == EOPNOTSUPP) {
      Common::Error error =
          MakeFileError(Code::kNotSupported, Msg::kSymLinksNotSupported, HV_SITE("CreateSymLink"), path);
      Common::AddPosixError(error, errnum);
      return Store(std::move(error));
    }
    return Store(MakePosixFileError(errnum, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("CreateSymLink"), path));
  }
  return true;
}

bool posix_dir::CreateHardLink(const std::u16string& name, const std::u16string& existing) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  const std::string source = EntryPath(existing);
  if (link(source.c_str(), path.c_str()) != 0) {
    const int errnum = errno;
    if (errnum == EOPNOTSUPP) {
      Common::Error error =
          Common::MakeErrorWithArgs(Code::kNotSupported, Msg::kHardLinksNotSupported, HV_SITE("CreateHardLink"),
                                    "path1,path2", {FileNameFromSystem(path), FileNameFromSystem(source)});
      Common::AddPosixError(error, errnum);
      return Store(std::move(error));
    }
    return Store(
        MakePosixFileError(errnum, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("CreateHardLink"), path, source));
  }
  return true;
}

bool posix_dir::CreateDeviceNode(const std::u16string& name, const file_attributes& attributes) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  if (mknod(path.c_str(), static_cast<mode_t>(attributes.mode), static_cast<dev_t>(attributes.special)) != 0)
    return Store(
        MakePosixFileError(errno, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("CreateDeviceNode"), path));
  return true;
}

bool posix_dir::SetUnixOwner(const std::u16string& name, uint32_t uid, uint32_t gid) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  if (lchown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0)
    return Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("SetUnixOwner"), path));
  return true;
}

bool posix_dir::SetUnixPermissions(const std::u16string& name, uint32_t mode) {
  if (Failed()) return false;
  const std::string path = EntryPath(name);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    return Store(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("SetUnixPermissions"), path));
  if (chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0)
    return Store(MakePosixFileError(errno, Code::kFileOpen, Msg::kFileOpenError, HV_SITE("SetUnixPermissions"), path));
  return true;
}

// Control requests -------------------------------------------------------------------------

bool posix_dir::IOCTL(void* request) {
  if (Failed()) return false;
  if (!request) return file_object::IOCTL(request);
  uint32_t command = 0;
  std::memcpy(&command, request, sizeof command);

  if (command == file_ioctl_code("STME")) {
    const auto* r = static_cast<dir_ioctl_times*>(request);
    const std::string path = EntryPath(r->name ? r->name : u"");
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
      return Store(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path));
    const timeval times[2] = {MillisecondsToTimeval(r->access_ms), MillisecondsToTimeval(r->modification_ms)};
    const int result = S_ISLNK(st.st_mode) ? lutimes(path.c_str(), times) : utimes(path.c_str(), times);
    if (result != 0)
      return Store(MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path));
    return true;
  }
  if (command == file_ioctl_code("GFST")) {
    auto* r = static_cast<dir_ioctl_fs_type*>(request);
    struct statfs info {};
    const std::string path = path_ + "/";
    if (statfs(path.c_str(), &info) != 0)
      return Store(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path_));
    r->type.clear();
    for (const char* p = FileSystemTypeName(static_cast<uint64_t>(info.f_type)); *p; ++p)
      r->type += static_cast<char16_t>(std::toupper(static_cast<unsigned char>(*p)));
    return true;
  }
  if (command == file_ioctl_code("GSYP")) {
    auto* r = static_cast<dir_ioctl_existing_ancestor*>(request);
    std::string path = path_;
    struct stat st {};
    while (stat(path.c_str(), &st) != 0) {
      const int errnum = errno;
      if ((errnum != ENOENT && errnum != ENOTDIR) || path.size() < 3)
        return Store(MakePosixFileError(errnum, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path));
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos)
        return Store(MakePosixFileError(errnum, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path));
      path.resize(slash == 0 ? 1 : slash);
    }
    r->path = FileNameFromSystem(path);
    r->device = static_cast<uint64_t>(st.st_dev);
    r->is_self = path == path_;
    return true;
  }
  if (command == file_ioctl_code("ODIR")) {
    auto* r = static_cast<dir_ioctl_open_dir*>(request);
    r->dir = OpenDir(r->name ? r->name : u"");
    return r->dir != nullptr;
  }
  if (command == file_ioctl_code("BKUP")) {
    const auto* r = static_cast<dir_ioctl_backup*>(request);
    return Store(WriteBackupStream(EntryPath(r->name ? r->name : u""), r->stream));
  }
  if (command == file_ioctl_code("RSTR")) {
    const auto* r = static_cast<dir_ioctl_restore*>(request);
    return Store(RestoreBackupStream(EntryPath(r->name ? r->name : u""), r->stream));
  }
  return file_object::IOCTL(request);
}
