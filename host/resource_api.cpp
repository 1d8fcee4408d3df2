// Stand-in for the agent's resource library. A module's resources are a zip
// archive in the module file's ".hvres" section (never loaded into memory):
//   hvplug.msg          empty: the built-in English table is used
//   <lang>/hvplug.msg   one catalogue per language listed in "locales"
//   default.vmc         the machine template
// The language comes from LANGUAGE, LC_ALL, LC_MESSAGES or LANG (first
// non-empty), or from SetLanguage, which fires the language events.
#include "hvplug/resource_api.h"

#include <elf.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ResourceApi {

struct ModuleHandle {
  std::vector<char> archive;  // the zip bytes
  std::vector<std::string> locales;
};

struct FileHandle {
  std::vector<char> data;
  size_t position = 0;
};

namespace {

std::mutex gMutex;
std::string gLanguage;
bool gLanguageChosen = false;
std::vector<void (*)()> gSubscribers;

std::string Narrow(const char16_t* path) {
  std::string out;
  for (; *path; ++path) {
    const char16_t c = *path;
    out += static_cast<char>(c >= 0xF880 && c <= 0xF8FF ? c & 0xFF : c);
  }
  return out;
}

// Reads the named section of an ELF64 little-endian file.
bool ReadSection(const std::string& path, const char* wanted, std::vector<char>& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  Elf64_Ehdr header{};
  if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum || header.e_shnum > 4096)
    return false;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  file.seekg(static_cast<std::streamoff>(header.e_shoff));
  if (!file.read(reinterpret_cast<char*>(sections.data()), sections.size() * sizeof(Elf64_Shdr))) return false;
  const Elf64_Shdr& names = sections[header.e_shstrndx];
  if (names.sh_size > (1u << 20)) return false;
  std::vector<char> nameTable(names.sh_size + 1, 0);
  file.seekg(static_cast<std::streamoff>(names.sh_offset));
  if (!file.read(nameTable.data(), static_cast<std::streamsize>(names.sh_size))) return false;
  for (const auto& section : sections) {
    if (section.sh_name >= names.sh_size || std::strcmp(&nameTable[section.sh_name], wanted) != 0) continue;
    if (section.sh_size > (64u << 20)) return false;
    out.resize(section.sh_size);
    file.seekg(static_cast<std::streamoff>(section.sh_offset));
    return static_cast<bool>(file.read(out.data(), static_cast<std::streamsize>(out.size())));
  }
  return false;
}

// Reads one archive member; false when it is absent.
bool ReadMember(const ModuleHandle& module, const std::string& name, std::vector<char>& out) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(module.archive.data(), module.archive.size(), 0, &error);
  if (!source) return false;
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  if (!archive) {
    zip_source_free(source);
    return false;
  }
  bool found = false;
  zip_stat_t stat;
  if (zip_stat(archive, name.c_str(), 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE) && stat.size < (64u << 20)) {
    if (zip_file_t* member = zip_fopen(archive, name.c_str(), 0)) {
      out.resize(stat.size);
      found = zip_fread(member, out.data(), stat.size) == static_cast<zip_int64_t>(stat.size);
      zip_fclose(member);
    }
  }
  zip_close(archive);
  return found;
}

std::string LanguageFromEnvironment() {
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value || !*value) continue;
    std::string language = value;
    // "de_DE.UTF-8" -> "de"; LANGUAGE may list several ("de:en"): the first counts.
    language = language.substr(0, language.find_first_of(":_.@"));
    if (language == "C" || language == "POSIX") return "en";
    return language;
  }
  return "en";
}

std::string CurrentLanguage() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gLanguageChosen) {
    gLanguage = LanguageFromEnvironment();
    gLanguageChosen = true;
  }
  return gLanguage;
}

char* CopyOut(const std::vector<char>& data) {
  char* buffer = new char[data.size() + 1];
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  buffer[data.size()] = 0;
  return buffer;
}

}  // namespace

ModuleHandle* OpenModule(const char16_t* path) {
  if (!path) return nullptr;
  auto module = std::make_unique<ModuleHandle>();
  if (!ReadSection(Narrow(path), ".hvres", module->archive)) return nullptr;
  std::vector<char> locales;
  if (ReadMember(*module, "locales", locales)) {
    std::string text(locales.begin(), locales.end());
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) module->locales.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  return module.release();
}

void CloseModule(ModuleHandle* module) { delete module; }

char* LoadFile(ModuleHandle* module, const char* name, const char* second, unsigned int* size) {
  if (!module || !name) return nullptr;
  (void)second;
  const std::string language = CurrentLanguage();
  std::vector<char> data;
  const bool listed =
      std::find(module->locales.begin(), module->locales.end(), language) != module->locales.end();
  if (!(listed && ReadMember(*module, language + "/" + name, data)) && !ReadMember(*module, name, data))
    return nullptr;
  if (size) *size = static_cast<unsigned int>(data.size());
  return CopyOut(data);
}

FileHandle* OpenFile(ModuleHandle* module, const char* name, const char* second) {
  if (!module || !name) return nullptr;
  (void)second;
  auto file = std::make_unique<FileHandle>();
  if (!ReadMember(*module, name, file->data)) return nullptr;
  return file.release();
}

bool GetFileSize(FileHandle* file, unsigned long long* size) {
  if (!file || !size) return false;
  *size = file->data.size();
  return true;
}

bool RewindFile(FileHandle* file) {
  if (!file) return false;
  file->position = 0;
  return true;
}

bool ReadFile(FileHandle* file, void* buffer, unsigned int size, unsigned int* read) {
  if (!file || (!buffer && size)) return false;
  const size_t n = std::min<size_t>(size, file->data.size() - file->position);
  if (n) std::memcpy(buffer, file->data.data() + file->position, n);
  file->position += n;
  if (read) *read = static_cast<unsigned int>(n);
  return true;
}

// Members are read whole at opening, so a handle has no errors of its own.
char* GetFileError(FileHandle* file, unsigned int* size) {
  (void)file;
  if (size) *size = 0;
  return nullptr;
}

void CloseFile(FileHandle* file) { delete file; }

void SubscribeLanguageEvents(void (*callback)()) {
  if (!callback) return;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (std::find(gSubscribers.begin(), gSubscribers.end(), callback) == gSubscribers.end())
      gSubscribers.push_back(callback);
  }
  callback();
}

void UnsubscribeLanguageEvents(void (*callback)()) {
  std::lock_guard<std::mutex> lock(gMutex);
  gSubscribers.erase(std::remove(gSubscribers.begin(), gSubscribers.end(), callback), gSubscribers.end());
}

void SetLanguage(const char* language) {
  std::vector<void (*)()> subscribers;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gLanguage = language && *language ? language : "en";
    gLanguageChosen = true;
    subscribers = gSubscribers;
  }
  for (auto* callback : subscribers) callback();
}

const char* GetLanguage() {
  static thread_local std::string language;
  language = CurrentLanguage();
  return language.c_str();
}

}  // namespace ResourceApi
