// Vhdx::File: absolute-offset random access to one VHDX file, and the raw,
// pass-through and write-protecting implementations of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/fdisk/virtual/vhdx/core_file.h"

namespace Vhdx {

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  virtual ~File() = default;

  // Reads exactly size bytes.
  virtual void Read(uint64_t offset, size_t size, void* buffer) = 0;
  virtual uint64_t GetSize() = 0;
  virtual void Write(uint64_t offset, size_t size, const void* buffer) = 0;
  virtual void WriteZero(uint64_t offset, uint64_t length) = 0;
  // Grows the file to newSize (never shrinks it).
  virtual void Expand(uint64_t newSize) = 0;
  virtual void Flush() = 0;
};

[[noreturn]] void ThrowReadOnly(const char* function);

// Base over which every modification fails with "The file is read-only.".
template <class Base>
class RefusingWrites : public Base {
 public:
  using Base::Base;

  void Write(uint64_t, size_t, const void*) override { ThrowReadOnly("Write"); }
  void WriteZero(uint64_t, uint64_t) override { ThrowReadOnly("WriteZero"); }
  void Expand(uint64_t) override { ThrowReadOnly("Expand"); }
  void Flush() override { ThrowReadOnly("Flush"); }
};

// The host file, read-only.
class ReadOnlyFile : public RefusingWrites<File> {
 public:
  explicit ReadOnlyFile(std::shared_ptr<CoreFile> file) : file_(std::move(file)) {}

  void Read(uint64_t offset, size_t size, void* buffer) override;
  uint64_t GetSize() override;

 protected:
  CoreFile& Core() { return *file_; }

 private:
  std::shared_ptr<CoreFile> file_;
};

class WriteableFile : public ReadOnlyFile {
 public:
  using ReadOnlyFile::ReadOnlyFile;

  void Write(uint64_t offset, size_t size, const void* buffer) override;
  // Whole 4096-byte pieces from one zero buffer, then the remainder.
  void WriteZero(uint64_t offset, uint64_t length) override;
  void Expand(uint64_t newSize) override;
  void Flush() override;
};

// Forwards every operation to the decorated file.
class FileDecorator : public File {
 public:
  explicit FileDecorator(std::shared_ptr<File> inner) : inner_(std::move(inner)) {}

  void Read(uint64_t offset, size_t size, void* buffer) override { inner_->Read(offset, size, buffer); }
  uint64_t GetSize() override { return inner_->GetSize(); }
  void Write(uint64_t offset, size_t size, const void* buffer) override { inner_->Write(offset, size, buffer); }
  void WriteZero(uint64_t offset, uint64_t length) override { inner_->WriteZero(offset, length); }
  void Expand(uint64_t newSize) override { inner_->Expand(newSize); }
  void Flush() override { inner_->Flush(); }

  const std::shared_ptr<File>& Inner() const { return inner_; }

 private:
  std::shared_ptr<File> inner_;
};

// Reads pass to the decorated file; modifications are refused.
class WriteProtectedFile : public RefusingWrites<FileDecorator> {
 public:
  using RefusingWrites::RefusingWrites;
};

}  // namespace Vhdx
