// The agent's resource library: resource modules, their files and the
// language events. Buffers it returns are allocated with array new and freed
// by the caller with array delete.
#pragma once

#include "hvplug/host_api.h"

namespace ResourceApi {

struct ModuleHandle;
struct FileHandle;

// A null path only primes the library; the result is then ignored.
HVHOST_API ModuleHandle* OpenModule(const char16_t* path);
HVHOST_API void CloseModule(ModuleHandle* module);
// The file of the current language (falling back to the archive root).
HVHOST_API char* LoadFile(ModuleHandle* module, const char* name, const char* second, unsigned int* size);
HVHOST_API FileHandle* OpenFile(ModuleHandle* module, const char* name, const char* second);
HVHOST_API bool GetFileSize(FileHandle* file, unsigned long long* size);
HVHOST_API bool RewindFile(FileHandle* file);
HVHOST_API bool ReadFile(FileHandle* file, void* buffer, unsigned int size, unsigned int* read);
// The file's last error in serialized form, or null.
HVHOST_API char* GetFileError(FileHandle* file, unsigned int* size);
HVHOST_API void CloseFile(FileHandle* file);
// A subscriber is answered at once with one event, then on every change.
HVHOST_API void SubscribeLanguageEvents(void (*callback)());
HVHOST_API void UnsubscribeLanguageEvents(void (*callback)());

// Stand-in controls: the current language ("en", "de", ...), chosen from
// LANGUAGE, LC_ALL, LC_MESSAGES and LANG until set; setting fires the events.
HVHOST_API void SetLanguage(const char* language);
HVHOST_API const char* GetLanguage();

}  // namespace ResourceApi
