// A resource file object: size, rewind and sequential reads over the
// resource library. Failures carry the library's own error as their cause.
#include "core/common/zipopen.h"

#include <algorithm>
#include <limits>

#include "core/common/error.h"
#include "core/common/module.h"
#include "hvplug/resource_api.h"

namespace Common {

namespace {

class ResourceFileImpl final : public si_file {
 public:
  ResourceFileImpl(ResourceApi::FileHandle* handle, const ResourceFileOperations& operations)
      : handle_(handle), operations_(operations) {}
  ~ResourceFileImpl() override { operations_.close(handle_); }

  void Read(void* buffer, size_t size, size_t& transferred) override {
    transferred = 0;
    if (Failed()) return;
    auto* bytes = static_cast<char*>(buffer);
    while (transferred < size) {
      const auto piece = static_cast<unsigned int>(
          std::min<size_t>(size - transferred, std::numeric_limits<unsigned int>::max() / 2 + 1));
      unsigned int got = 0;
      if (!operations_.read(handle_, bytes + transferred, piece, &got)) {
        Fail(MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Read")));
        return;
      }
      if (got == 0) break;
      transferred += std::min<size_t>(got, piece);
    }
  }

  bool Rewind() override {
    if (Failed()) return false;
    if (!operations_.rewind(handle_)) {
      Fail(MakeError(Code::kFileSeek, Msg::kFileSeekError, HV_SITE("Rewind")));
      return false;
    }
    return true;
  }

  uint64_t GetSize() override {
    if (Failed()) return 0;
    unsigned long long size = 0;
    if (!operations_.getSize(handle_, &size)) {
      Fail(MakeError(Code::kFileRead, Msg::kFileReadError, HV_SITE("Size")));
      return 0;
    }
    return size;
  }

 private:
  // Stores error with the library's error for the handle as its cause.
  void Fail(Error error) {
    unsigned int size = 0;
    if (char* serialized = operations_.getError(handle_, &size)) {
      const Error cause = ErrorFromSerialized(serialized, size);
      delete[] serialized;
      SetCause(error, cause);
    }
    SetError(std::move(error));
  }

  ResourceApi::FileHandle* handle_;
  ResourceFileOperations operations_;
};

}  // namespace

const ResourceFileOperations& ResourceLibraryOperations() {
  static const ResourceFileOperations operations{ResourceApi::GetFileSize, ResourceApi::RewindFile,
                                                 ResourceApi::ReadFile, ResourceApi::GetFileError,
                                                 ResourceApi::CloseFile};
  return operations;
}

std::unique_ptr<si_file> MakeResourceFile(ResourceApi::FileHandle* handle, const ResourceFileOperations& operations) {
  if (!handle) return nullptr;
  return std::make_unique<ResourceFileImpl>(handle, operations);
}

std::unique_ptr<si_file> OpenResourceFile(ResourceApi::ModuleHandle* module, const std::u16string& name) {
  if (!module) return nullptr;
  std::string narrow;
  for (char16_t c : name) narrow += static_cast<char>(c & 0xFF);
  return MakeResourceFile(ResourceApi::OpenFile(module, narrow.c_str(), nullptr));
}

std::unique_ptr<si_file> OpenResourceFile(const std::u16string& name) {
  return OpenResourceFile(GetResourceModule(), name);
}

}  // namespace Common
