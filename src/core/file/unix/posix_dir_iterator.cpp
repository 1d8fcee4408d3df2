// Directory iterators: entries of a directory stream, or one entry by path.
#include <fnmatch.h>

#include <cerrno>
#include <cstring>

#include "core/common/error_codes.h"
#include "core/common/byte_order.h"
#include "core/file/file_errors.h"
#include "core/file/unix/file_name.h"
#include "core/file/unix/posix_dir.h"
#include "core/file/unix/posix_error.h"

using namespace FileLayer;

namespace {

entry_type TypeFromMode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFCHR:
      return entry_type::char_device;
    case S_IFBLK:
      return entry_type::block_device;
    case S_IFIFO:
      return entry_type::fifo;
    case S_IFSOCK:
      return entry_type::socket;
    case S_IFLNK:
      return entry_type::symlink;
    case S_IFDIR:
      return entry_type::directory;
    default:
      return entry_type::file;
  }
}

bool TypeFromDirent(unsigned char type, entry_type& out) {
  switch (type) {
    case DT_REG:
      out = entry_type::file;
      return true;
    case DT_CHR:
      out = entry_type::char_device;
      return true;
    case DT_BLK:
      out = entry_type::block_device;
      return true;
    case DT_FIFO:
      out = entry_type::fifo;
      return true;
    case DT_SOCK:
      out = entry_type::socket;
      return true;
    case DT_LNK:
      out = entry_type::symlink;
      return true;
    case DT_DIR:
      out = entry_type::directory;
      return true;
    default:
      return false;
  }
}

int64_t Nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

}  // namespace

// stat_iterator ---------------------------------------------------------------------

void posix_dir::stat_iterator::SetEntry(std::string path, unsigned char dirent_type) {
  entry_path_ = std::move(path);
  have_stat_ = false;
  have_type_ = TypeFromDirent(dirent_type, type_);
}

const struct stat* posix_dir::stat_iterator::EnsureStat(const char* operation) {
  if (Failed()) return nullptr;
  if (have_stat_) return &stat_;
  if (lstat(entry_path_.c_str(), &stat_) != 0) {
    SetError(MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE(operation), entry_path_));
    return nullptr;
  }
  have_stat_ = true;
  type_ = TypeFromMode(stat_.st_mode);
  have_type_ = true;
  return &stat_;
}

std::u16string posix_dir::stat_iterator::GetName() {
  if (Failed()) return {};
  return FileNameFromSystem(LastComponent(entry_path_));
}

entry_type posix_dir::stat_iterator::GetType() {
  if (Failed()) return entry_type::file;
  if (have_type_) return type_;
  EnsureStat("GetType");
  return type_;
}

bool posix_dir::stat_iterator::GetAttributes(file_attributes& attributes) {
  attributes = file_attributes{};
  const struct stat* st = EnsureStat("GetAttributes");
  if (!st) return false;
  attributes.mode = st->st_mode;
  attributes.uid = st->st_uid;
  attributes.gid = st->st_gid;
  attributes.size = static_cast<uint64_t>(st->st_size);
  attributes.links = st->st_nlink;
  attributes.device = st->st_dev;
  attributes.inode = st->st_ino;
  attributes.special = st->st_rdev;
  return true;
}

bool posix_dir::stat_iterator::GetTimes(file_times& times) {
  times = file_times{};
  const struct stat* st = EnsureStat("GetTimes");
  if (!st) return false;
  times.access = Nanoseconds(st->st_atim);
  times.modification = Nanoseconds(st->st_mtim);
  times.change = Nanoseconds(st->st_ctim);
  return true;
}

bool posix_dir::stat_iterator::IOCTL(void* request) {
  if (Failed()) return false;
  uint32_t command = 0;
  if (request) std::memcpy(&command, request, sizeof command);
  if (command != file_ioctl_code("GTID")) return file_object::IOCTL(request);
  auto* r = static_cast<iterator_ioctl_identifier*>(request);
  r->identifier = GetIdentifier();
  return !Failed();
}

the_identifier posix_dir::stat_iterator::GetIdentifier() {
  const struct stat* st = EnsureStat("GetIdentifier");
  if (!st) return the_identifier();
  std::vector<uint8_t> data;
  Common::AppendLe(data, st->st_dev, 8);
  Common::AppendLe(data, st->st_ino, 8);
  return the_identifier(FileNameFromSystem(LastComponent(entry_path_)), std::move(data));
}

// iterator -------------------------------------------------------------------------------

posix_dir::iterator::iterator(std::string directory, DIR* stream, std::string pattern, uint32_t type_mask)
    : directory_(std::move(directory)), stream_(stream), pattern_(std::move(pattern)), type_mask_(type_mask) {
  Next();
}

posix_dir::iterator::~iterator() {
  if (stream_) closedir(stream_);
}

bool posix_dir::iterator::Next() {
  if (Failed()) return false;
  for (;;) {
    errno = 0;
    entry_ = readdir(stream_);
    if (!entry_) {
      const int errnum = errno;
      Common::Error end = MakeFileError(Code::kEndOfFile, Msg::kFileEndReached, HV_SITE("Next"), directory_);
      if (errnum != 0) Common::AddPosixError(end, errnum);
      SetError(std::move(end));
      return false;
    }
    const char* name = entry_->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!pattern_.empty() && fnmatch(pattern_.c_str(), name, 0) != 0) continue;
    SetEntry(JoinPath(directory_, name), entry_->d_type);
    if (type_mask_ != all_types) {
      const entry_type type = GetType();
      if (Failed()) {
        // The entry vanished between readdir and lstat: skip it.
        if (GetError().Code() != Code::kFileNotFound) return false;
        TakeError();
        continue;
      }
      if (!(type_mask_ & type_bit(type))) continue;
    }
    return true;
  }
}

// self_iterator ----------------------------------------------------------------------

posix_dir::self_iterator::self_iterator(std::string path) {
  SetEntry(std::move(path), DT_UNKNOWN);
  if (!EnsureStat("GetIterator") && GetError().Code() == Code::kFileNotFound) {
    // A missing entry is an empty listing, not a failure of the directory.
    Common::Error end = MakeFileError(Code::kEndOfFile, Msg::kFileEndReached, HV_SITE("GetIterator"), entry_path_);
    Common::AddPosixError(end, ENOENT);
    SetError(std::move(end));
  }
}

bool posix_dir::self_iterator::Next() {
  if (Failed()) return false;
  SetError(MakeFileError(Code::kEndOfFile, Msg::kFileEndReached, HV_SITE("Next"), entry_path_));
  return false;
}
