// The file and directory layer: the interfaces through which every file is
// reached. Both sides of the plug-in boundary compile against this header
// (the agent hands the plug-in its root directory as an rio_dir).
//
// Objects keep their last failure: an operation that fails stores its error
// in the object, and every later operation does nothing (and returns neutral
// results: 0 bytes, null objects, false) until the caller takes the error
// with TakeError().
//
//   auto file = dir.Open(u"machine.vmc", O_RDONLY, false, 0);
//   if (!file) return dir.TakeError();
//   size_t got = 0;
//   file->Read(buffer, size, got);
//   if (file->Failed()) return file->TakeError();
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hvplug/error.h"

namespace Common {
struct Credentials;
}

// Control requests (IOCTL) begin with a 32-bit command whose four bytes in
// memory are the command's four letters.
constexpr uint32_t file_ioctl_code(const char (&letters)[5]) {
  return static_cast<uint32_t>(static_cast<unsigned char>(letters[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(letters[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(letters[2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(letters[3])) << 24;
}

// Virtual base of every file, directory and iterator: holds the stored error.
class file_object {
 public:
  file_object(const file_object&) = delete;
  file_object& operator=(const file_object&) = delete;
  virtual ~file_object();

  // Carries out a control request; true when it succeeded. Commands the
  // object does not know store the not-supported error (0x4000E).
  virtual bool IOCTL(void* request);

  const Common::Error& GetError() const { return error_; }
  bool Failed() const { return error_.IsFailure(); }
  // Returns the stored error and makes the object usable again.
  Common::Error TakeError() { return std::move(error_); }
  void SetError(Common::Error error) { error_ = std::move(error); }

 protected:
  file_object() = default;

 private:
  Common::Error error_;
};

// The slot order of every interface below is part of the binary contract:
// the agent's objects are called through it, so nothing may be added to
// them. What only some file layers offer (opening a subdirectory as an
// object, an iterator's file identifier, reading and writing at an offset in
// one request) is asked for through IOCTL and has a fallback over the shared
// operations (core/file/dir_access.h, core/file/positioned_io.h).

class sized_file : public virtual file_object {
 public:
  virtual bool Rewind() = 0;
  virtual uint64_t GetSize() = 0;
  ~sized_file() override;
};

class raccess_file : public virtual sized_file {
 public:
  ~raccess_file() override;
  // Each returns the new position, 0 on failure.
  virtual int64_t Seek(int64_t offset) = 0;               // from the start
  virtual int64_t SeekRelative(int64_t offset) = 0;       // from the current position
  virtual int64_t SeekEnd(int64_t offset) = 0;            // from the end
  virtual bool Unlock(uint64_t offset, uint64_t length);  // default: not supported

  bool Rewind() override;       // Seek(0)
  uint64_t GetSize() override;  // by seeking to the end and back
};

// Sequential input.
class i_file : public virtual file_object {
 public:
  // Reads until size bytes, the end of the file or a failure.
  virtual void Read(void* buffer, size_t size, size_t& transferred) = 0;
  ~i_file() override;
};

// Sequential input that knows its size.
class si_file : public i_file, public virtual sized_file {};

// Random-access input.
class ri_file : public si_file, public virtual raccess_file {
 public:
  // length 0: to the end of the file (and beyond). Default: not supported.
  virtual bool LockShared(uint64_t offset, uint64_t length, bool wait);
};

class o_file : public virtual file_object {
 public:
  // Writes until size bytes or a failure. A full disk or the file-size limit
  // ends the loop with a short count and no stored error.
  virtual void Write(const void* buffer, size_t size, size_t& transferred) = 0;
  virtual bool Flush();  // default: nothing to do
  ~o_file() override;
};

class ro_file : public o_file, public virtual raccess_file {
 public:
  virtual bool Truncate(uint64_t length) = 0;
  virtual bool LockExclusive(uint64_t offset, uint64_t length, bool wait);  // default: not supported
};

class rio_file : public ri_file, public ro_file {};

// Directory entries ---------------------------------------------------------

enum class entry_type : uint32_t {
  file = 0,  // also anything not listed below
  char_device = 1,
  block_device = 2,
  fifo = 3,
  socket = 4,
  symlink = 5,
  directory = 128,
};

// The stat data of an entry (of the link itself for symbolic links).
struct file_attributes {
  uint32_t mode = 0;  // type and permission bits as in st_mode
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t size = 0;
  uint64_t links = 0;
  uint64_t device = 0;  // the file system holding the entry
  uint64_t inode = 0;
  uint64_t special = 0;  // device number of a device node
};

// Nanoseconds since 1970-01-01 UTC.
struct file_times {
  int64_t access = 0;
  int64_t modification = 0;
  int64_t change = 0;
};

// Names one file: its name and, optionally, opaque bytes that identify it
// further (for POSIX entries the device and inode numbers).
class file_identifier {
 public:
  virtual ~file_identifier() = default;
  virtual const std::u16string& GetName() const = 0;
  virtual const std::vector<uint8_t>& GetData() const = 0;
};

// A copyable identifier; copies share one reference-counted block.
class the_identifier final : public file_identifier {
 public:
  the_identifier();
  explicit the_identifier(std::u16string name, std::vector<uint8_t> data = {});
  const std::u16string& GetName() const override;
  const std::vector<uint8_t>& GetData() const override;
  bool operator==(const the_identifier& other) const;

 private:
  struct block {
    std::u16string name;
    std::vector<uint8_t> data;
  };
  std::shared_ptr<const block> block_;
};

class rio_dir;
class rio_file;

// Receives directory change notifications. A notification fires once; the
// handler registers again to hear of the next change.
class dir_notification_handler {
 public:
  enum class change { modified, created, removed };
  virtual ~dir_notification_handler() = default;
  // Called on the watcher thread; dir stays alive during the call.
  virtual void OnDirectoryChanged(rio_dir& dir, change what) = 0;
};

// Iteration and queries.
class i_dir : public virtual file_object {
 public:
  // Walks entries; created positioned on the first one. When there is no
  // further entry the end-of-file error (0x40002) is stored in the iterator.
  class iterator : public virtual file_object {
   public:
    ~iterator() override;
    // Moves to the next entry; false at the end or on failure.
    virtual bool Next() = 0;
    virtual std::u16string GetName() = 0;
    virtual entry_type GetType() = 0;
    virtual bool GetAttributes(file_attributes& attributes) = 0;
    virtual bool GetTimes(file_times& times) = 0;
  };

  // Every entry but "." and "..".
  virtual std::unique_ptr<iterator> GetIterator() = 0;
  // Entries whose name matches a shell pattern ('*', '?', "[...]"); a name
  // without wildcards looks that one entry up. As everywhere, the pattern may
  // begin with a path ("sub/*.vhdx"): its last component is matched in the
  // directory the rest names.
  virtual std::unique_ptr<iterator> GetIterator(const std::u16string& pattern) = 0;
  // As above, restricted to the types whose bit is set in type_mask
  // (see type_bit).
  virtual std::unique_ptr<iterator> GetIterator(const std::u16string& pattern, uint32_t type_mask) = 0;
  // The directory itself as a one-entry iterator.
  virtual std::unique_ptr<iterator> GetSelfIterator() = 0;
  // The directory's path; for local directories it converts to the system's
  // encoding as names do.
  virtual bool GetPath(std::u16string& path) = 0;
  virtual bool ResolveSymLinks(const std::u16string& name, std::u16string& resolved);  // default: not supported
  virtual bool GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available);     // default: not supported
  virtual bool GetVolumeLabel(std::u16string& label);                                  // default: not supported
  // Calls handler once when the directory changes, appears or disappears.
  virtual bool EnableNotification(std::shared_ptr<dir_notification_handler> handler);  // default: not supported
  // 0: the same directory; 1: other lies below this one; 2: anything else.
  virtual int Compare(i_dir* other) = 0;

  static constexpr uint32_t type_bit(entry_type type) {
    return type == entry_type::directory ? 1u << 7 : 1u << static_cast<uint32_t>(type);
  }
  static constexpr uint32_t all_types = 0xFFu;
};

class si_dir : public i_dir {};

// Opening files and directories.
class ri_dir : public si_dir {
 public:
  // flags are open(2) flags, mode the creation mode. no_lock false: a
  // whole-file lock (exclusive when writing) is held for the file's life;
  // true: the caller takes range locks itself.
  virtual std::unique_ptr<rio_file> Open(const std::u16string& name, int flags, bool no_lock, uint32_t mode) = 0;
  // Well-known directories: 143 system data, 144/145 home, 149 temporary
  // files, 156 logs. Default: not supported.
  virtual std::unique_ptr<rio_dir> OpenSpecialDir(uint32_t id);
};

// Creation and change of entries.
class o_dir : public virtual file_object {
 public:
  virtual bool Remove(const std::u16string& name) = 0;
  virtual bool Rename(const std::u16string& from, const std::u16string& to) = 0;
  // Mode from attributes (0755 without them).
  virtual bool CreateDir(const std::u16string& name, const file_attributes* attributes) = 0;
  virtual bool RemoveDir(const std::u16string& name) = 0;
  virtual bool CreateSymLink(const std::u16string& name, const std::u16string& target) = 0;
  virtual bool CreateHardLink(const std::u16string& name, const std::u16string& existing) = 0;
  // Type and permission bits from mode, the device number from special.
  virtual bool CreateDeviceNode(const std::u16string& name, const file_attributes& attributes) = 0;
  virtual bool SetUnixOwner(const std::u16string& name, uint32_t uid, uint32_t gid) = 0;
  virtual bool SetUnixPermissions(const std::u16string& name, uint32_t mode) = 0;
  virtual bool SetDOSAttributes(const std::u16string& name, uint32_t attributes);             // default: not supported
  virtual bool SetAccessRights(const std::u16string& name, const void* rights, size_t size);  // default: not supported
};

class ro_dir : public o_dir {};

class rio_dir : public ri_dir, public ro_dir {};

// Control requests --------------------------------------------------------

// Files.
struct file_ioctl_passthrough {  // "UIOC": ioctl(descriptor, number, argument)
  uint32_t command = file_ioctl_code("UIOC");
  unsigned long number = 0;
  void* argument = nullptr;
  int result = 0;        // ioctl's return value
  int error_number = 0;  // errno when result is not 0
};
struct file_ioctl_append {  // "SAMI": from now on every write appends
  uint32_t command = file_ioctl_code("SAMI");
};
struct file_ioctl_flags {  // "GUFL" / "SUFL": inode flags (FS_IOC_GETFLAGS)
  uint32_t command = file_ioctl_code("GUFL");
  uint32_t flags = 0;
};
struct file_ioctl_times {  // "SFTM": access and modification time
  uint32_t command = file_ioctl_code("SFTM");
  int64_t access_ms = 0;  // milliseconds since 1970-01-01 UTC
  int64_t modification_ms = 0;
};
struct file_ioctl_deallocate {  // "SDAT": punch a hole, keeping the size
  uint32_t command = file_ioctl_code("SDAT");
  uint64_t offset = 0;
  uint64_t length = 0;
};
struct file_ioctl_sector {  // "GSEC": physical location of the current position
  uint32_t command = file_ioctl_code("GSEC");
  int64_t sector = 0;         // 512-byte sector on the device, -1 for a hole
  uint64_t sector_count = 0;  // sectors from there to the end of the block
};
// "RDAT" / "WRAT": read or write size bytes at offset in one request,
// leaving the file position where it was; otherwise as Read and Write (a
// short count at the end of the file or on a full disk, failures stored).
// Optional: a file layer that answers not supported is reached by Seek then
// Read or Write. A request of size 0 moves nothing and asks whether the file
// offers it: an answer sets transferred to 0.
struct file_ioctl_read_at {
  uint32_t command = file_ioctl_code("RDAT");
  uint64_t offset = 0;
  void* buffer = nullptr;
  size_t size = 0;
  size_t transferred = 0;
};
struct file_ioctl_write_at {
  uint32_t command = file_ioctl_code("WRAT");
  uint64_t offset = 0;
  const void* buffer = nullptr;
  size_t size = 0;
  size_t transferred = 0;
};

// Directories.
struct dir_ioctl_times {  // "STME": times of a named entry
  uint32_t command = file_ioctl_code("STME");
  const char16_t* name = nullptr;
  int64_t access_ms = 0;
  int64_t modification_ms = 0;
};
// "BKUP": writes a backup stream of one named entry (contents, mode, owner,
// times, extended attributes) to stream; "RSTR" recreates the entry under
// name from such a stream. The stream format is described in
// core/file/unix/backup_stream.h.
struct dir_ioctl_backup {
  uint32_t command = file_ioctl_code("BKUP");
  const char16_t* name = nullptr;
  o_file* stream = nullptr;
};
struct dir_ioctl_restore {
  uint32_t command = file_ioctl_code("RSTR");
  const char16_t* name = nullptr;
  i_file* stream = nullptr;
};
struct dir_ioctl_fs_type {  // "GFST": file-system type name in upper case ("EXT2", "XFS"; empty if unknown)
  uint32_t command = file_ioctl_code("GFST");
  std::u16string type;
};
struct dir_ioctl_existing_ancestor {  // "GSYP": nearest existing directory at or above this one
  uint32_t command = file_ioctl_code("GSYP");
  std::u16string path;
  uint64_t device = 0;   // st_dev of that directory
  bool is_self = false;  // the directory itself exists
};
// "ODIR": a named subdirectory as a directory object of its own, or the
// error stored in the directory. Optional: a file layer that answers not
// supported is reached through names relative to it instead.
struct dir_ioctl_open_dir {
  uint32_t command = file_ioctl_code("ODIR");
  const char16_t* name = nullptr;
  std::unique_ptr<rio_dir> dir;
};

// "SCRD": credentials for reaching a location; file layers that need none
// answer not supported.
struct dir_ioctl_credentials {
  uint32_t command = file_ioctl_code("SCRD");
  const char16_t* location = nullptr;
  const Common::Credentials* credentials = nullptr;
};

// Iterators.
// "GTID": the current entry's identifier. Optional: without it the device
// and inode numbers of the entry's attributes identify it.
struct iterator_ioctl_identifier {
  uint32_t command = file_ioctl_code("GTID");
  the_identifier identifier;
};
