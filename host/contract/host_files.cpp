// Host-side files, directories and iterators over plain POSIX calls.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "contract_root.h"
#include "host_error.h"

namespace {

using Contract::HostError;
using Contract::Narrow;
using Contract::Widen;

ContractCounters counters;

// name joined to directory: a leading "/" starts from the root, "." and
// empty components are skipped, ".." goes up (never above the root).
std::string Join(const std::string& directory, const std::u16string& name) {
  const std::string narrow = Narrow(name);
  std::string path = !narrow.empty() && narrow[0] == '/' ? "/" : directory;
  size_t at = 0;
  while (at <= narrow.size()) {
    size_t end = narrow.find('/', at);
    if (end == std::string::npos) end = narrow.size();
    const std::string part = narrow.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      const size_t slash = path.rfind('/');
      path.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
      continue;
    }
    if (path != "/") path += '/';
    path += part;
  }
  return path;
}

class HostFile final : public rio_file {
 public:
  HostFile(int fd, std::string path, bool extras) : fd_(fd), path_(std::move(path)), extras_(extras) {}
  ~HostFile() override { close(fd_); }

  void Read(void* buffer, size_t size, size_t& transferred) override {
    ++counters.reads;
    Transfer(false, -1, buffer, size, transferred);
  }

  void Write(const void* buffer, size_t size, size_t& transferred) override {
    ++counters.writes;
    Transfer(true, -1, const_cast<void*>(buffer), size, transferred);
  }

  // The optional positioned transfers, when the root offers its extras.
  bool IOCTL(void* request) override {
    uint32_t command = 0;
    if (request) std::memcpy(&command, request, sizeof command);
    const bool reading = command == file_ioctl_code("RDAT");
    if (!extras_ || (!reading && command != file_ioctl_code("WRAT"))) return file_object::IOCTL(request);
    if (Failed()) return false;
    ++counters.extras;
    const uint64_t offset = reading ? static_cast<file_ioctl_read_at*>(request)->offset
                                    : static_cast<file_ioctl_write_at*>(request)->offset;
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
      SetError(HostError(reading ? Contract::kReadCode : Contract::kWriteCode, "IOCTL", EINVAL, path_));
      return false;
    }
    if (reading) {
      auto* r = static_cast<file_ioctl_read_at*>(request);
      if (r->size > 0) ++counters.positioned;
      Transfer(false, static_cast<off_t>(r->offset), r->buffer, r->size, r->transferred);
    } else {
      auto* r = static_cast<file_ioctl_write_at*>(request);
      if (r->size > 0) ++counters.positioned;
      Transfer(true, static_cast<off_t>(r->offset), const_cast<void*>(r->buffer), r->size, r->transferred);
    }
    return !Failed();
  }

  bool Flush() override {
    if (Failed()) return false;
    if (fsync(fd_) != 0) SetError(HostError(Contract::kWriteCode, "Flush", errno, path_));
    return !Failed();
  }

  bool Truncate(uint64_t length) override {
    if (Failed()) return false;
    if (ftruncate(fd_, static_cast<off_t>(length)) != 0)
      SetError(HostError(Contract::kWriteCode, "Truncate", errno, path_));
    return !Failed();
  }

  int64_t Seek(int64_t offset) override { return SeekWith(offset, SEEK_SET, "Seek"); }
  int64_t SeekRelative(int64_t offset) override { return SeekWith(offset, SEEK_CUR, "SeekRelative"); }
  int64_t SeekEnd(int64_t offset) override { return SeekWith(offset, SEEK_END, "SeekEnd"); }

 private:
  int64_t SeekWith(int64_t offset, int whence, const char* function) {
    if (Failed()) return 0;
    const off_t at = lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) {
      SetError(HostError(Contract::kSeekCode, function, errno, path_));
      return 0;
    }
    return at;
  }

  // at < 0: at the file's position. Reads stop at the end of the file; a
  // full disk ends a write with a short count, as the contract asks.
  void Transfer(bool writing, off_t at, void* buffer, size_t size, size_t& transferred) {
    transferred = 0;
    if (Failed()) return;
    char* bytes = static_cast<char*>(buffer);
    while (transferred < size) {
      const size_t rest = size - transferred;
      const off_t where = at + static_cast<off_t>(transferred);
      const ssize_t moved =
          writing ? (at < 0 ? write(fd_, bytes + transferred, rest) : pwrite(fd_, bytes + transferred, rest, where))
                  : (at < 0 ? read(fd_, bytes + transferred, rest) : pread(fd_, bytes + transferred, rest, where));
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0 && writing && (errno == ENOSPC || errno == EFBIG)) return;
      if (moved < 0) {
        SetError(writing ? HostError(Contract::kWriteCode, "Write", errno, path_)
                         : HostError(Contract::kReadCode, "Read", errno, path_));
        return;
      }
      if (moved == 0) return;
      transferred += static_cast<size_t>(moved);
    }
  }

  int fd_;
  std::string path_;
  bool extras_;
};

// Entries are read when the iterator is made; each is looked at with lstat.
class HostIterator final : public i_dir::iterator {
 public:
  HostIterator(std::string directory, std::vector<std::string> names, bool extras)
      : directory_(std::move(directory)), names_(std::move(names)), extras_(extras) {
    ++counters.iterators;
    if (names_.empty()) SetError(HostError(Contract::kEndOfFileCode, "Next"));
  }

  bool Next() override {
    if (Failed()) return false;
    if (++at_ >= names_.size()) SetError(HostError(Contract::kEndOfFileCode, "Next"));
    return !Failed();
  }

  std::u16string GetName() override { return Failed() ? std::u16string() : Widen(names_[at_]); }

  entry_type GetType() override {
    struct stat info {};
    if (!Stat(info)) return entry_type::file;
    if (S_ISDIR(info.st_mode)) return entry_type::directory;
    if (S_ISLNK(info.st_mode)) return entry_type::symlink;
    if (S_ISCHR(info.st_mode)) return entry_type::char_device;
    if (S_ISBLK(info.st_mode)) return entry_type::block_device;
    if (S_ISFIFO(info.st_mode)) return entry_type::fifo;
    if (S_ISSOCK(info.st_mode)) return entry_type::socket;
    return entry_type::file;
  }

  bool GetAttributes(file_attributes& attributes) override {
    struct stat info {};
    if (!Stat(info)) return false;
    attributes = {info.st_mode,  info.st_uid, info.st_gid, static_cast<uint64_t>(info.st_size),
                  info.st_nlink, info.st_dev, info.st_ino, info.st_rdev};
    return true;
  }

  bool GetTimes(file_times& times) override {
    struct stat info {};
    if (!Stat(info)) return false;
    const auto ns = [](const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
    times = {ns(info.st_atim), ns(info.st_mtim), ns(info.st_ctim)};
    return true;
  }

  // The optional identifier request, when the root offers its extras.
  bool IOCTL(void* request) override {
    uint32_t command = 0;
    if (request) std::memcpy(&command, request, sizeof command);
    if (!extras_ || command != file_ioctl_code("GTID")) return file_object::IOCTL(request);
    ++counters.extras;
    struct stat info {};
    if (!Stat(info)) return false;
    std::vector<uint8_t> data;
    for (uint64_t value : {uint64_t(info.st_dev), uint64_t(info.st_ino)}) {
      for (int i = 0; i < 8; ++i) data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    static_cast<iterator_ioctl_identifier*>(request)->identifier = the_identifier(Widen(names_[at_]), std::move(data));
    return true;
  }

 private:
  bool Stat(struct stat& info) {
    if (Failed()) return false;
    const std::string path = names_[at_] == "." ? directory_ : directory_ + "/" + names_[at_];
    if (lstat(path.c_str(), &info) != 0) SetError(HostError(Contract::kReadCode, "GetAttributes", errno, path));
    return !Failed();
  }

  std::string directory_;
  std::vector<std::string> names_;
  bool extras_;
  size_t at_ = 0;
};

class HostDir final : public rio_dir {
 public:
  // path as the plug-in sees it; jail the local folder that "/" stands for
  // (empty: the local root).
  HostDir(std::string path, std::string jail, bool extras)
      : path_(std::move(path)), jail_(std::move(jail)), extras_(extras) {}

  std::unique_ptr<i_dir::iterator> GetIterator() override { return List(nullptr, all_types); }
  std::unique_ptr<i_dir::iterator> GetIterator(const std::u16string& pattern) override {
    return List(&pattern, all_types);
  }
  std::unique_ptr<i_dir::iterator> GetIterator(const std::u16string& pattern, uint32_t type_mask) override {
    return List(&pattern, type_mask);
  }

  std::unique_ptr<i_dir::iterator> GetSelfIterator() override {
    if (Failed()) return nullptr;
    return std::make_unique<HostIterator>(Real(path_), std::vector<std::string>{"."}, extras_);
  }

  bool GetPath(std::u16string& path) override {
    path = Failed() ? std::u16string() : Widen(path_);
    return !Failed();
  }

  int Compare(i_dir* other) override {
    std::u16string otherPath;
    if (!other || !other->GetPath(otherPath)) return 2;
    const std::string narrow = Narrow(otherPath);
    if (narrow == path_) return 0;
    const std::string prefix = path_ == "/" ? path_ : path_ + "/";
    return narrow.compare(0, prefix.size(), prefix) == 0 ? 1 : 2;
  }

  std::unique_ptr<rio_file> Open(const std::u16string& name, int flags, bool no_lock, uint32_t mode) override {
    ++counters.opens;
    if (Failed()) return nullptr;
    const std::string path = Join(path_, name);
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    const int fd = open(Real(path).c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) {
      SetError(HostError(Contract::kOpenCode, "Open", errno, path));
      return nullptr;
    }
    if (!no_lock) {
      struct flock lock {};
      lock.l_type = writing ? F_WRLCK : F_RDLCK;
      lock.l_whence = SEEK_SET;
      if (fcntl(fd, F_SETLK, &lock) != 0) {
        SetError(HostError(Contract::kAccessDeniedCode, "Open", errno, path));
        close(fd);
        return nullptr;
      }
    }
    SetError(Common::Error());
    return std::make_unique<HostFile>(fd, path, extras_);
  }

  // The optional subdirectory request, when the root offers its extras.
  bool IOCTL(void* request) override {
    uint32_t command = 0;
    if (request) std::memcpy(&command, request, sizeof command);
    if (!extras_ || command != file_ioctl_code("ODIR")) return file_object::IOCTL(request);
    if (Failed()) return false;
    ++counters.extras;
    auto* r = static_cast<dir_ioctl_open_dir*>(request);
    const std::string path = Join(path_, r->name ? r->name : u"");
    struct stat info {};
    const int error = stat(Real(path).c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
      SetError(HostError(Contract::kOpenCode, "OpenDir", error, path));
      return false;
    }
    r->dir = std::make_unique<HostDir>(path, jail_, extras_);
    return true;
  }

  bool Remove(const std::u16string& name) override { return Call(unlink(Real(Join(path_, name)).c_str()), "Remove"); }
  bool Rename(const std::u16string& from, const std::u16string& to) override {
    return Call(rename(Real(Join(path_, from)).c_str(), Real(Join(path_, to)).c_str()), "Rename");
  }
  bool CreateDir(const std::u16string& name, const file_attributes* attributes) override {
    const mode_t mode = attributes ? attributes->mode & 07777 : 0755;
    return Call(mkdir(Real(Join(path_, name)).c_str(), mode), "CreateDir");
  }
  bool RemoveDir(const std::u16string& name) override {
    return Call(rmdir(Real(Join(path_, name)).c_str()), "RemoveDir");
  }
  bool CreateSymLink(const std::u16string& name, const std::u16string& target) override {
    return Call(symlink(Narrow(target).c_str(), Real(Join(path_, name)).c_str()), "CreateSymLink");
  }
  bool CreateHardLink(const std::u16string& name, const std::u16string& existing) override {
    return Call(link(Real(Join(path_, existing)).c_str(), Real(Join(path_, name)).c_str()), "CreateHardLink");
  }
  bool CreateDeviceNode(const std::u16string& name, const file_attributes& attributes) override {
    return Call(mknod(Real(Join(path_, name)).c_str(), attributes.mode, attributes.special), "CreateDeviceNode");
  }
  bool SetUnixOwner(const std::u16string& name, uint32_t uid, uint32_t gid) override {
    return Call(lchown(Real(Join(path_, name)).c_str(), uid, gid), "SetUnixOwner");
  }
  bool SetUnixPermissions(const std::u16string& name, uint32_t mode) override {
    return Call(chmod(Real(Join(path_, name)).c_str(), mode), "SetUnixPermissions");
  }

 private:
  // A pattern may begin with a path naming the directory to list; a last
  // component without wildcards names one entry.
  std::unique_ptr<i_dir::iterator> List(const std::u16string* pattern, uint32_t type_mask) {
    if (Failed()) return nullptr;
    std::string directory = path_;
    std::string last = pattern ? Narrow(*pattern) : std::string();
    if (const size_t slash = last.rfind('/'); slash != std::string::npos) {
      directory = Join(path_, Widen(slash == 0 ? "/" : last.substr(0, slash)));
      last = last.substr(slash + 1);
    }
    std::vector<std::string> names;
    if (pattern && last.find_first_of("*?[") == std::string::npos) {
      struct stat info {};
      if (lstat(Real(Join(directory, Widen(last))).c_str(), &info) == 0) names.push_back(last);
    } else {
      DIR* stream = opendir(Real(directory).c_str());
      if (!stream) {
        SetError(HostError(Contract::kOpenCode, "GetIterator", errno, directory));
        return nullptr;
      }
      while (dirent* entry = readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (pattern && fnmatch(last.c_str(), name.c_str(), 0) != 0) continue;
        names.push_back(name);
      }
      closedir(stream);
      std::sort(names.begin(), names.end());
    }
    auto iterator = std::make_unique<HostIterator>(Real(directory), std::move(names), extras_);
    if (type_mask != all_types) {
      // Step over entries of unwanted types; the end error stays in the iterator.
      while (!iterator->Failed() && !(type_mask & type_bit(iterator->GetType()))) iterator->Next();
    }
    return iterator;
  }

  std::string Real(const std::string& path) const {
    if (jail_.empty()) return path;
    return path == "/" ? jail_ : jail_ + path;
  }

  bool Call(int result, const char* function) {
    if (Failed()) return false;
    if (result != 0) {
      const uint32_t code = std::strcmp(function, "Remove") == 0 || std::strcmp(function, "RemoveDir") == 0
                                ? Contract::kDeleteCode
                            : std::strcmp(function, "Rename") == 0 ? Contract::kRenameCode
                                                                   : Contract::kCreateCode;
      SetError(HostError(code, function, errno, path_));
    }
    return !Failed();
  }

  std::string path_;
  std::string jail_;
  bool extras_;
};

}  // namespace

std::shared_ptr<rio_dir> ContractCreateRoot(const char* root_path, bool extras) {
  return std::make_shared<HostDir>(root_path && *root_path ? root_path : "/", std::string(), extras);
}

std::shared_ptr<rio_dir> ContractCreateJail(const char* local_folder, bool extras) {
  return std::make_shared<HostDir>("/", local_folder ? local_folder : "", extras);
}

ContractCounters& ContractGetCounters() { return counters; }
