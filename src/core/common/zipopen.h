// Files of the library's resource archive (message catalogues, the machine
// template), read through the agent's resource library.
#pragma once

#include <memory>
#include <string>

#include "hvplug/file.h"

namespace ResourceApi {
struct ModuleHandle;
struct FileHandle;
}  // namespace ResourceApi

namespace Common {

// The resource library's file operations (replaceable in tests).
struct ResourceFileOperations {
  bool (*getSize)(ResourceApi::FileHandle*, unsigned long long*);
  bool (*rewind)(ResourceApi::FileHandle*);
  bool (*read)(ResourceApi::FileHandle*, void*, unsigned int, unsigned int*);
  char* (*getError)(ResourceApi::FileHandle*, unsigned int*);
  void (*close)(ResourceApi::FileHandle*);
};
const ResourceFileOperations& ResourceLibraryOperations();

// Opens a file of the library's own resource module; null when the module or
// the file is missing. The name is narrowed by keeping each unit's low byte.
std::unique_ptr<si_file> OpenResourceFile(const std::u16string& name);
std::unique_ptr<si_file> OpenResourceFile(ResourceApi::ModuleHandle* module, const std::u16string& name);
// Wraps an open handle; the object closes it.
std::unique_ptr<si_file> MakeResourceFile(ResourceApi::FileHandle* handle,
                                          const ResourceFileOperations& operations = ResourceLibraryOperations());

}  // namespace Common
