// Directories of the local file system.
//
//   posix_dir root("/");
//   std::unique_ptr<rio_file> file = root.Open(u"/var/lib/vm/disk.vhdx", O_RDWR, true, 0);
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "core/file/unix/dir_watcher.h"
#include "hvplug/file.h"

class posix_dir : public rio_dir {
 public:
  // path in the system's encoding.
  explicit posix_dir(std::string path);
  explicit posix_dir(const std::u16string& path);
  ~posix_dir() override;

  // ri_dir
  std::unique_ptr<rio_file> Open(const std::u16string& name, int flags, bool no_lock, uint32_t mode) override;
  std::unique_ptr<rio_dir> OpenSpecialDir(uint32_t id) override;
  // A subdirectory as a directory object (also the "ODIR" control request).
  std::unique_ptr<rio_dir> OpenDir(const std::u16string& name);

  // i_dir
  std::unique_ptr<i_dir::iterator> GetIterator() override;
  std::unique_ptr<i_dir::iterator> GetIterator(const std::u16string& pattern) override;
  std::unique_ptr<i_dir::iterator> GetIterator(const std::u16string& pattern, uint32_t type_mask) override;
  std::unique_ptr<i_dir::iterator> GetSelfIterator() override;
  bool GetPath(std::u16string& path) override;
  bool ResolveSymLinks(const std::u16string& name, std::u16string& resolved) override;
  bool GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) override;
  bool EnableNotification(std::shared_ptr<dir_notification_handler> handler) override;
  int Compare(i_dir* other) override;
  bool IOCTL(void* request) override;

  // o_dir
  bool Remove(const std::u16string& name) override;
  bool Rename(const std::u16string& from, const std::u16string& to) override;
  bool CreateDir(const std::u16string& name, const file_attributes* attributes) override;
  bool RemoveDir(const std::u16string& name) override;
  bool CreateSymLink(const std::u16string& name, const std::u16string& target) override;
  bool CreateHardLink(const std::u16string& name, const std::u16string& existing) override;
  bool CreateDeviceNode(const std::u16string& name, const file_attributes& attributes) override;
  bool SetUnixOwner(const std::u16string& name, uint32_t uid, uint32_t gid) override;
  bool SetUnixPermissions(const std::u16string& name, uint32_t mode) override;

  const std::string& native_path() const { return path_; }
  // The full path of an entry in the system's encoding.
  std::string EntryPath(const std::u16string& name) const;

  // Iterators. An iterator keeps the current entry's full path and its stat
  // data once they were needed.
  class stat_iterator : public i_dir::iterator {
   public:
    std::u16string GetName() override;
    entry_type GetType() override;
    bool GetAttributes(file_attributes& attributes) override;
    bool GetTimes(file_times& times) override;
    // Answers "GTID" with the entry's name, device and inode.
    bool IOCTL(void* request) override;
    the_identifier GetIdentifier();

   protected:
    stat_iterator() = default;
    // Makes path the current entry; type from the directory entry when it
    // carries one (DT_UNKNOWN otherwise).
    void SetEntry(std::string path, unsigned char dirent_type);
    const struct stat* EnsureStat(const char* operation);

    std::string entry_path_;
    bool have_type_ = false;
    entry_type type_ = entry_type::file;
    bool have_stat_ = false;
    struct stat stat_ {};
  };

  // The entries of an open directory stream.
  class iterator : public stat_iterator {
   public:
    iterator(std::string directory, DIR* stream, std::string pattern, uint32_t type_mask);
    ~iterator() override;
    bool Next() override;

   private:
    std::string directory_;
    DIR* stream_;
    dirent* entry_ = nullptr;
    std::string pattern_;  // empty: every entry
    uint32_t type_mask_;
  };

  // One entry looked up by path: the directory itself, or a name without
  // wildcards.
  class self_iterator : public stat_iterator {
   public:
    explicit self_iterator(std::string path);
    bool Next() override;
  };

 private:
  std::unique_ptr<i_dir::iterator> MakeIterator(const std::u16string* pattern, uint32_t type_mask);
  // Stores err (or success when it is success) and answers !err.
  bool Store(Common::Error error);

  std::string path_;
  FileLayer::NotificationRecord notification_;
};

namespace FileLayer {

// True when the host is an appliance ("/etc/virtual_appliance.conf" or
// "/etc/esx_appliance.conf" exists); checked once per process.
bool IsAppliance();

// The name of a file-system type (statfs f_type), such as "ext2"; empty if unknown.
const char* FileSystemTypeName(uint64_t type);

}  // namespace FileLayer
