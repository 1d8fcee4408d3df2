// Internals shared by the record kinds.
#pragma once

#include <cstddef>
#include <string>

#include "core/common/error.h"

namespace Common::Detail {

extern const char kModuleId[];
extern const char16_t kModuleIdWide[];

bool IsModuleName(const char* name);
// A zeroed record of size bytes with reference count 0; null when out of memory.
ErrorRecord* AllocateRecord(size_t size, uint32_t code, const ErrorKind* kind, const ErrorSite* site);
void FreeRecord(ErrorRecord* record);
ErrorRecord* CloneRecord(const ErrorRecord* record);
std::u16string WidenBytes(const char* text);
uint64_t NoNumber(const ErrorRecord*, const char*);
const char* ModuleNarrow(const ErrorRecord*, const char* name);
const char16_t* ModuleWide(const ErrorRecord*, const char* name);

}  // namespace Common::Detail
