// The host file beneath the engine: a seekable file whose operations throw
// Common::Error. Adapters make the host's file objects look like this, so the
// raw Vhdx::File layer does not depend on where the bytes live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Vhdx {

class CoreFile {
 public:
  CoreFile() = default;
  CoreFile(const CoreFile&) = delete;
  CoreFile& operator=(const CoreFile&) = delete;
  virtual ~CoreFile() = default;

  // Each returns the bytes moved; fewer than asked means the end of the file
  // (read) or no room (write).
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
  virtual size_t WriteAt(uint64_t offset, const void* buffer, size_t size) = 0;
  virtual uint64_t GetSize() = 0;
  virtual void SetSize(uint64_t size) = 0;
  virtual void Flush() = 0;
};

// A file reached through a POSIX descriptor that the object owns.
class DescriptorCoreFile : public CoreFile {
 public:
  // Opens path; throws the open error with the path.
  static std::unique_ptr<DescriptorCoreFile> Open(const std::string& path, bool writable);
  // Creates path, failing when it exists.
  static std::unique_ptr<DescriptorCoreFile> Create(const std::string& path);
  explicit DescriptorCoreFile(int descriptor) : descriptor_(descriptor) {}
  ~DescriptorCoreFile() override;

  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  uint64_t GetSize() override;
  void SetSize(uint64_t size) override;
  void Flush() override;

 private:
  int descriptor_;
};

// Bytes in memory, for tests and fuzzing. Growth beyond the capacity fails as
// a full disk, which keeps hostile inputs from allocating without bound.
class MemoryCoreFile : public CoreFile {
 public:
  explicit MemoryCoreFile(std::vector<uint8_t> bytes = {}, uint64_t capacity = UINT64_MAX)
      : bytes_(std::move(bytes)), capacity_(capacity) {}

  size_t ReadAt(uint64_t offset, void* buffer, size_t size) override;
  size_t WriteAt(uint64_t offset, const void* buffer, size_t size) override;
  uint64_t GetSize() override { return bytes_.size(); }
  void SetSize(uint64_t size) override;
  void Flush() override {}

  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t capacity_;
};

}  // namespace Vhdx
