#include "core/file/unix/backup_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/common/error_codes.h"
#include "core/common/byte_order.h"
#include "core/file/file_errors.h"
#include "core/file/unix/file_name.h"
#include "core/file/unix/posix_error.h"

namespace FileLayer {

namespace {

constexpr uint32_t kMagic = file_ioctl_code("HVBK");
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kItemHeadSize = 16;
constexpr uint32_t kTagAttr = file_ioctl_code("ATTR");
constexpr uint32_t kTagLink = file_ioctl_code("LINK");
constexpr uint32_t kTagXattr = file_ioctl_code("XATR");
constexpr uint32_t kTagData = file_ioctl_code("DATA");
constexpr uint32_t kTagEnd = file_ioctl_code("END ");
constexpr size_t kAttrSize = 64;
constexpr size_t kMaxLinkTarget = 4096;
constexpr size_t kMaxXattrName = 255;
constexpr size_t kMaxXattrValue = 65536;
constexpr size_t kMaxXattrList = 1 << 20;
constexpr size_t kDataChunk = 1 << 20;

// What "ATTR" holds.
struct EntryAttributes {
  uint32_t mode = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t size = 0;
  uint64_t device = 0;
  timespec access{};
  timespec modification{};
};

void EncodeAttributes(const EntryAttributes& a, uint8_t* out) {
  std::memset(out, 0, kAttrSize);
  Common::StoreLe32(out + 0, a.mode);
  Common::StoreLe32(out + 4, a.uid);
  Common::StoreLe32(out + 8, a.gid);
  Common::StoreLe64(out + 16, a.size);
  Common::StoreLe64(out + 24, a.device);
  Common::StoreLe64(out + 32, static_cast<uint64_t>(a.access.tv_sec));
  Common::StoreLe32(out + 40, static_cast<uint32_t>(a.access.tv_nsec));
  Common::StoreLe64(out + 48, static_cast<uint64_t>(a.modification.tv_sec));
  Common::StoreLe32(out + 56, static_cast<uint32_t>(a.modification.tv_nsec));
}

bool DecodeAttributes(const uint8_t* in, EntryAttributes& a) {
  a.mode = Common::LoadLe32(in + 0);
  a.uid = Common::LoadLe32(in + 4);
  a.gid = Common::LoadLe32(in + 8);
  a.size = Common::LoadLe64(in + 16);
  a.device = Common::LoadLe64(in + 24);
  a.access.tv_sec = static_cast<time_t>(static_cast<int64_t>(Common::LoadLe64(in + 32)));
  a.access.tv_nsec = static_cast<long>(Common::LoadLe32(in + 40));
  a.modification.tv_sec = static_cast<time_t>(static_cast<int64_t>(Common::LoadLe64(in + 48)));
  a.modification.tv_nsec = static_cast<long>(Common::LoadLe32(in + 56));
  return a.access.tv_nsec < 1000000000L && a.modification.tv_nsec < 1000000000L && Common::LoadLe32(in + 12) == 0 &&
         Common::LoadLe32(in + 44) == 0 && Common::LoadLe32(in + 60) == 0;
}

bool TypeCodeOf(mode_t mode, uint32_t& code) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      code = static_cast<uint32_t>(entry_type::file);
      return true;
    case S_IFCHR:
      code = static_cast<uint32_t>(entry_type::char_device);
      return true;
    case S_IFBLK:
      code = static_cast<uint32_t>(entry_type::block_device);
      return true;
    case S_IFIFO:
      code = static_cast<uint32_t>(entry_type::fifo);
      return true;
    case S_IFLNK:
      code = static_cast<uint32_t>(entry_type::symlink);
      return true;
    case S_IFDIR:
      code = static_cast<uint32_t>(entry_type::directory);
      return true;
    default:
      return false;
  }
}

Common::Error Damaged(const Common::ErrorSite& site, const std::string& path) {
  return MakeFileError(Code::kFileRead, Msg::kBackupStreamDamaged, site, path);
}

// Writing ---------------------------------------------------------------------------

class StreamWriter {
 public:
  StreamWriter(o_file* stream, const std::string& path) : stream_(stream), path_(path) {}

  Common::Error Bytes(const void* data, size_t size) {
    size_t written = 0;
    stream_->Write(data, size, written);
    if (stream_->Failed())
      return Common::Wrap(MakeFileError(Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_),
                          stream_->GetError());
    if (written != size)
      return MakePosixFileError(ENOSPC, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_);
    return {};
  }

  Common::Error Item(uint32_t tag, const void* payload, size_t size) {
    uint8_t head[kItemHeadSize] = {};
    Common::StoreLe32(head, tag);
    Common::StoreLe64(head + 8, size);
    if (auto error = Bytes(head, sizeof head)) return error;
    return size ? Bytes(payload, size) : Common::Error();
  }

 private:
  o_file* stream_;
  const std::string& path_;
};

// Reads an extended attribute list or value, retrying while it grows.
template <class Call>
Common::Error ReadSized(Call call, size_t limit, std::vector<char>& out, const std::string& path) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) return MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    if (static_cast<size_t>(size) > limit)
      return MakePosixFileError(E2BIG, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    out.resize(static_cast<size_t>(size));
    if (size == 0) return {};
    const ssize_t got = call(out.data(), out.size());
    if (got >= 0) {
      out.resize(static_cast<size_t>(got));
      return {};
    }
    if (errno != ERANGE) return MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
  }
  return MakePosixFileError(ERANGE, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
}

Common::Error WriteExtendedAttributes(StreamWriter& writer, const std::string& path) {
  std::vector<char> names;
  Common::Error error = ReadSized([&](char* buffer, size_t size) { return llistxattr(path.c_str(), buffer, size); },
                                  kMaxXattrList, names, path);
  if (error) {
    // A file system without extended attributes has none to save.
    const Common::Error cause = error.Cause();
    if (cause.Code() == Common::kPosixErrorCode && cause.GetNumber("code") == ENOTSUP) return {};
    return error;
  }
  for (size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    const size_t nameLength = strnlen(name, names.size() - at);
    at += nameLength + 1;
    if (nameLength == 0) continue;
    if (nameLength > kMaxXattrName)
      return MakePosixFileError(ERANGE, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    const std::string attribute(name, nameLength);
    std::vector<char> value;
    error =
        ReadSized([&](char* buffer, size_t size) { return lgetxattr(path.c_str(), attribute.c_str(), buffer, size); },
                  kMaxXattrValue, value, path);
    if (error) {
      // Removed meanwhile: nothing to save.
      const Common::Error cause = error.Cause();
      if (cause.Code() == Common::kPosixErrorCode && cause.GetNumber("code") == ENODATA) continue;
      return error;
    }
    std::vector<uint8_t> payload(4 + nameLength + value.size());
    Common::StoreLe32(payload.data(), static_cast<uint32_t>(nameLength));
    std::memcpy(payload.data() + 4, attribute.data(), nameLength);
    if (!value.empty()) std::memcpy(payload.data() + 4 + nameLength, value.data(), value.size());
    if ((error = writer.Item(kTagXattr, payload.data(), payload.size()))) return error;
  }
  return {};
}

Common::Error WriteContents(StreamWriter& writer, const std::string& path, uint64_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
  std::vector<char> buffer(kDataChunk);
  Common::Error error;
  uint64_t done = 0;
  while (!error && done < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kDataChunk, size - done));
    const ssize_t got = read(fd, buffer.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    } else if (got == 0) {
      // The file shrank while it was being saved.
      error = MakeFileError(Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    } else {
      error = writer.Item(kTagData, buffer.data(), static_cast<size_t>(got));
      done += static_cast<uint64_t>(got);
    }
  }
  close(fd);
  return error;
}

// Reading ---------------------------------------------------------------------------

// The stream's items, checked against the format's rules: the order of
// items, their sizes and what each entry type may carry. No file-system
// effects, so the checks can run on any input.
class StreamReader {
 public:
  struct Item {
    uint32_t tag = 0;
    std::string name;            // "XATR": the attribute's name; "LINK": the target
    const char* data = nullptr;  // "XATR": the value; "DATA": the bytes
    size_t size = 0;
  };

  StreamReader(i_file* stream, const std::string& path) : stream_(stream), path_(path) {}

  // The header and "ATTR".
  Common::Error Start(uint32_t& typeCode, EntryAttributes& attributes) {
    uint8_t header[kHeaderSize];
    if (auto error = Bytes(header, sizeof header)) return error;
    typeCode_ = typeCode = Common::LoadLe32(header + 8);
    if (Common::LoadLe32(header) != kMagic || Common::LoadLe32(header + 4) != kVersion ||
        Common::LoadLe32(header + 12) != 0)
      return Damaged(HV_SITE("IOCTL"), path_);
    uint32_t tag = 0;
    uint64_t length = 0;
    if (auto error = Head(tag, length)) return error;
    if (tag != kTagAttr || length != kAttrSize) return Damaged(HV_SITE("IOCTL"), path_);
    uint8_t attr[kAttrSize];
    if (auto error = Bytes(attr, sizeof attr)) return error;
    if (!DecodeAttributes(attr, attributes_)) return Damaged(HV_SITE("IOCTL"), path_);
    uint32_t modeType = 0;
    if (!TypeCodeOf(attributes_.mode, modeType) || modeType != typeCode_) return Damaged(HV_SITE("IOCTL"), path_);
    if (typeCode_ != static_cast<uint32_t>(entry_type::file) && attributes_.size != 0)
      return Damaged(HV_SITE("IOCTL"), path_);
    attributes = attributes_;
    return {};
  }

  // The next item; "END " is the last one.
  Common::Error Next(Item& item) {
    item = Item{};
    uint64_t length = 0;
    if (auto error = Head(item.tag, length)) return error;
    const bool isLink = typeCode_ == static_cast<uint32_t>(entry_type::symlink);
    const bool isFile = typeCode_ == static_cast<uint32_t>(entry_type::file);
    if (item.tag == kTagEnd) {
      if (length != 0 || (isFile && data_ != attributes_.size) || (isLink && !haveLink_))
        return Damaged(HV_SITE("IOCTL"), path_);
      return {};
    }
    const size_t limit = item.tag == kTagLink    ? kMaxLinkTarget
                         : item.tag == kTagXattr ? 4 + kMaxXattrName + kMaxXattrValue
                         : item.tag == kTagData  ? kDataChunk
                                                 : 0;
    if (length == 0 || length > limit) return Damaged(HV_SITE("IOCTL"), path_);
    payload_.resize(static_cast<size_t>(length));
    if (auto error = Bytes(payload_.data(), payload_.size())) return error;

    if (item.tag == kTagLink) {
      // Once, before the attributes that are set on the link.
      if (!isLink || haveLink_ || haveXattr_ || std::memchr(payload_.data(), 0, payload_.size()))
        return Damaged(HV_SITE("IOCTL"), path_);
      haveLink_ = true;
      item.name.assign(payload_.data(), payload_.size());
    } else if (item.tag == kTagXattr) {
      if ((isLink && !haveLink_) || payload_.size() < 4) return Damaged(HV_SITE("IOCTL"), path_);
      const uint32_t nameLength = Common::LoadLe32(reinterpret_cast<const uint8_t*>(payload_.data()));
      if (nameLength == 0 || nameLength > kMaxXattrName || nameLength > payload_.size() - 4)
        return Damaged(HV_SITE("IOCTL"), path_);
      item.name.assign(payload_.data() + 4, nameLength);
      if (item.name.find('\0') != std::string::npos) return Damaged(HV_SITE("IOCTL"), path_);
      item.size = payload_.size() - 4 - nameLength;
      if (item.size > kMaxXattrValue) return Damaged(HV_SITE("IOCTL"), path_);
      item.data = payload_.data() + 4 + nameLength;
      haveXattr_ = true;
    } else {
      if (!isFile || payload_.size() > attributes_.size - data_) return Damaged(HV_SITE("IOCTL"), path_);
      data_ += payload_.size();
      item.data = payload_.data();
      item.size = payload_.size();
    }
    return {};
  }

 private:
  Common::Error Bytes(void* data, size_t size) {
    size_t got = 0;
    stream_->Read(data, size, got);
    if (stream_->Failed())
      return Common::Wrap(MakeFileError(Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path_),
                          stream_->GetError());
    if (got != size) return Damaged(HV_SITE("IOCTL"), path_);
    return {};
  }

  Common::Error Head(uint32_t& tag, uint64_t& length) {
    uint8_t head[kItemHeadSize];
    if (auto error = Bytes(head, sizeof head)) return error;
    tag = Common::LoadLe32(head);
    length = Common::LoadLe64(head + 8);
    if (Common::LoadLe32(head + 4) != 0) return Damaged(HV_SITE("IOCTL"), path_);
    return {};
  }

  i_file* stream_;
  const std::string& path_;
  uint32_t typeCode_ = 0;
  EntryAttributes attributes_;
  std::vector<char> payload_;
  uint64_t data_ = 0;
  bool haveLink_ = false;
  bool haveXattr_ = false;
};

std::string TemporaryName(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  return path + ".rstr-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

// The entry being restored: a temporary one (removed again on failure) or
// the target directory itself.
class Restorer {
 public:
  Restorer(const std::string& path, uint32_t typeCode) : path_(path), typeCode_(typeCode) {}
  ~Restorer() {
    if (fd_ >= 0) close(fd_);
    if (!done_ && !work_.empty() && work_ != path_) unlink(work_.c_str());
  }

  Common::Error Create(const EntryAttributes& attributes) {
    attributes_ = attributes;
    const mode_t type = attributes.mode & S_IFMT;
    switch (static_cast<entry_type>(typeCode_)) {
      case entry_type::directory:
        if (type != S_IFDIR) return Damaged(HV_SITE("IOCTL"), path_);
        work_ = path_;
        if (mkdir(path_.c_str(), 0700) != 0) {
          struct stat st {};
          const int errnum = errno;
          if (errnum != EEXIST || lstat(path_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return MakePosixFileError(errnum, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("IOCTL"), path_);
        }
        return {};
      case entry_type::file:
        if (type != S_IFREG) return Damaged(HV_SITE("IOCTL"), path_);
        return MakeTemporary([this](const char* name) {
          fd_ = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
          return fd_ >= 0;
        });
      case entry_type::char_device:
      case entry_type::block_device:
      case entry_type::fifo:
        if (type != (typeCode_ == 1 ? S_IFCHR : typeCode_ == 2 ? S_IFBLK : S_IFIFO))
          return Damaged(HV_SITE("IOCTL"), path_);
        return MakeTemporary(
            [&](const char* name) { return mknod(name, type | 0600, static_cast<dev_t>(attributes.device)) == 0; });
      case entry_type::symlink:
        if (type != S_IFLNK) return Damaged(HV_SITE("IOCTL"), path_);
        return {};  // made when its target arrives
      default:
        return Damaged(HV_SITE("IOCTL"), path_);
    }
  }

  Common::Error Link(const std::string& target) {
    if (static_cast<entry_type>(typeCode_) != entry_type::symlink || !work_.empty())
      return Damaged(HV_SITE("IOCTL"), path_);
    return MakeTemporary([&](const char* name) { return symlink(target.c_str(), name) == 0; });
  }

  Common::Error Xattr(const std::string& name, const void* value, size_t size) {
    if (work_.empty()) return Damaged(HV_SITE("IOCTL"), path_);
    if (lsetxattr(work_.c_str(), name.c_str(), value, size, 0) != 0)
      return MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_);
    return {};
  }

  Common::Error Data(const char* data, size_t size) {
    if (fd_ < 0 || size > attributes_.size - written_) return Damaged(HV_SITE("IOCTL"), path_);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        return MakePosixFileError(n < 0 ? errno : ENOSPC, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"),
                                  path_);
      done += static_cast<size_t>(n);
    }
    written_ += size;
    return {};
  }

  Common::Error Finish() {
    const bool isLink = static_cast<entry_type>(typeCode_) == entry_type::symlink;
    if (work_.empty()) return Damaged(HV_SITE("IOCTL"), path_);
    if (static_cast<entry_type>(typeCode_) == entry_type::file && written_ != attributes_.size)
      return Damaged(HV_SITE("IOCTL"), path_);
    if (fd_ >= 0) {
      if (fsync(fd_) != 0 || close(fd_) != 0) {
        fd_ = -1;
        return MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_);
      }
      fd_ = -1;
    }
    // The owner first: changing it clears the set-id bits of the mode.
    if (lchown(work_.c_str(), attributes_.uid, attributes_.gid) != 0)
      return MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_);
    if (!isLink && chmod(work_.c_str(), attributes_.mode & 07777) != 0)
      return MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_);
    const timespec times[2] = {attributes_.access, attributes_.modification};
    if (utimensat(AT_FDCWD, work_.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
      return MakePosixFileError(errno, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path_);
    if (work_ != path_ && rename(work_.c_str(), path_.c_str()) != 0)
      return MakePosixFileError(errno, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("IOCTL"), work_, path_);
    done_ = true;
    return {};
  }

 private:
  template <class Make>
  Common::Error MakeTemporary(Make make) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = TemporaryName(path_);
      if (make(name.c_str())) {
        work_ = name;
        return {};
      }
      if (errno != EEXIST) break;
    }
    return MakePosixFileError(errno, Code::kFileCreate, Msg::kFileCreateError, HV_SITE("IOCTL"), path_);
  }

  const std::string& path_;
  uint32_t typeCode_;
  EntryAttributes attributes_;
  std::string work_;
  int fd_ = -1;
  uint64_t written_ = 0;
  bool done_ = false;
};

}  // namespace

Common::Error WriteBackupStream(const std::string& path, o_file* stream) {
  if (!stream) return MakePosixFileError(EINVAL, Code::kFileWrite, Msg::kFileWriteError, HV_SITE("IOCTL"), path);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    return MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
  uint32_t typeCode = 0;
  if (!TypeCodeOf(st.st_mode, typeCode))
    return MakeFileError(Code::kNotSupported, Msg::kBackupEntryUnsupported, HV_SITE("IOCTL"), path);

  StreamWriter writer(stream, path);
  uint8_t header[kHeaderSize] = {};
  Common::StoreLe32(header, kMagic);
  Common::StoreLe32(header + 4, kVersion);
  Common::StoreLe32(header + 8, typeCode);
  if (auto error = writer.Bytes(header, sizeof header)) return error;

  EntryAttributes attributes;
  attributes.mode = st.st_mode;
  attributes.uid = st.st_uid;
  attributes.gid = st.st_gid;
  attributes.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  attributes.device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? static_cast<uint64_t>(st.st_rdev) : 0;
  attributes.access = st.st_atim;
  attributes.modification = st.st_mtim;
  uint8_t attr[kAttrSize];
  EncodeAttributes(attributes, attr);
  if (auto error = writer.Item(kTagAttr, attr, sizeof attr)) return error;

  if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(kMaxLinkTarget + 1);
    const ssize_t length = readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return MakePosixFileError(errno, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    if (length == 0 || static_cast<size_t>(length) > kMaxLinkTarget)
      return MakePosixFileError(ENAMETOOLONG, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
    if (auto error = writer.Item(kTagLink, target.data(), static_cast<size_t>(length))) return error;
  }
  if (auto error = WriteExtendedAttributes(writer, path)) return error;
  if (S_ISREG(st.st_mode))
    if (auto error = WriteContents(writer, path, attributes.size)) return error;
  return writer.Item(kTagEnd, nullptr, 0);
}

Common::Error RestoreBackupStream(const std::string& path, i_file* stream) {
  if (!stream) return MakePosixFileError(EINVAL, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"), path);
  StreamReader reader(stream, path);
  uint32_t typeCode = 0;
  EntryAttributes attributes;
  if (auto error = reader.Start(typeCode, attributes)) return error;
  Restorer restorer(path, typeCode);
  if (auto error = restorer.Create(attributes)) return error;
  StreamReader::Item item;
  for (;;) {
    if (auto error = reader.Next(item)) return error;
    Common::Error error;
    if (item.tag == kTagEnd) return restorer.Finish();
    if (item.tag == kTagLink)
      error = restorer.Link(item.name);
    else if (item.tag == kTagXattr)
      error = restorer.Xattr(item.name, item.data, item.size);
    else
      error = restorer.Data(item.data, item.size);
    if (error) return error;
  }
}

Common::Error CheckBackupStream(i_file* stream) {
  static const std::string kNoPath;
  if (!stream) return MakePosixFileError(EINVAL, Code::kFileRead, Msg::kFileReadError, HV_SITE("IOCTL"));
  StreamReader reader(stream, kNoPath);
  uint32_t typeCode = 0;
  EntryAttributes attributes;
  if (auto error = reader.Start(typeCode, attributes)) return error;
  StreamReader::Item item;
  do {
    if (auto error = reader.Next(item)) return error;
  } while (item.tag != kTagEnd);
  return {};
}

}  // namespace FileLayer
