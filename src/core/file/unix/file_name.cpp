#include "core/file/unix/file_name.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <mutex>
#include <vector>

#include "core/common/module.h"
#include "core/common/utf.h"

namespace FileLayer {

namespace {

constexpr char16_t kRawFirst = 0xF880;
constexpr char16_t kRawLast = 0xF8FF;
constexpr char16_t kRawBase = 0xF800;

bool IsRaw(char16_t c) { return c >= kRawFirst && c <= kRawLast; }

// Undecodable bytes become U+F800 + byte.
void ToUnicodeCallback(const void*, UConverterToUnicodeArgs* args, const char* codeUnits, int32_t length,
                       UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;
  *error = U_ZERO_ERROR;
  for (int32_t i = 0; i < length && U_SUCCESS(*error); ++i) {
    const auto byte = static_cast<unsigned char>(codeUnits[i]);
    const UChar unit = byte >= 0x80 ? static_cast<UChar>(kRawBase + byte) : byte;
    ucnv_cbToUWriteUChars(args, &unit, 1, 0, error);
  }
}

// U+F880..U+F8FF go back to their byte. Other characters the encoding lacks
// are written as UTF-8 rather than substituted: a substitute could name a
// different file.
void FromUnicodeCallback(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t, UChar32 codePoint,
                         UConverterCallbackReason reason, UErrorCode* error) {
  if (reason > UCNV_IRREGULAR) return;
  std::string bytes;
  if (codePoint >= kRawFirst && codePoint <= kRawLast) {
    bytes += static_cast<char>(codePoint - kRawBase);
  } else if (codePoint < 0 || U_IS_SURROGATE(codePoint) || codePoint > 0x10FFFF) {
    bytes += '?';
  } else {
    Common::AppendCodePointUtf8(static_cast<char32_t>(codePoint), bytes);
  }
  *error = U_ZERO_ERROR;
  ucnv_cbFromUWriteBytes(args, bytes.data(), static_cast<int32_t>(bytes.size()), 0, error);
}

// One converter per process; converters are not thread-safe, so every use
// holds the mutex.
std::mutex gMutex;
UConverter* gConverter = nullptr;
bool gOpened = false;

void CloseConverter() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gConverter) ucnv_close(gConverter);
  gConverter = nullptr;
}

UConverter* OpenConverter(const char* name) {
  UErrorCode error = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(name, &error);
  if (U_FAILURE(error) || !converter) return nullptr;
  ucnv_setToUCallBack(converter, ToUnicodeCallback, nullptr, nullptr, nullptr, &error);
  ucnv_setFromUCallBack(converter, FromUnicodeCallback, nullptr, nullptr, nullptr, &error);
  if (U_FAILURE(error)) {
    ucnv_close(converter);
    return nullptr;
  }
  return converter;
}

// Called with the mutex held.
UConverter* Converter() {
  if (!gOpened) {
    gOpened = true;
    gConverter = OpenConverter(nullptr);
    Common::RegisterUnloadAction(CloseConverter);
  }
  return gConverter;
}

// Without a converter (ICU data missing) names travel as UTF-8.
void EncodeWithoutConverter(std::string& out, std::u16string_view run) {
  Common::AppendUtf8(run, out, Common::LoneSurrogate::kQuestionMark);
}

void EncodeRun(std::string& out, std::u16string_view run) {
  if (run.empty()) return;
  std::lock_guard<std::mutex> lock(gMutex);
  UConverter* converter = Converter();
  if (!converter) return EncodeWithoutConverter(out, run);
  std::vector<char> buffer(run.size() * 4 + 16);
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode error = U_ZERO_ERROR;
    const int32_t length = ucnv_fromUChars(converter, buffer.data(), static_cast<int32_t>(buffer.size()), run.data(),
                                           static_cast<int32_t>(run.size()), &error);
    if (error == U_BUFFER_OVERFLOW_ERROR) {
      buffer.resize(static_cast<size_t>(length) + 1);
      continue;
    }
    if (U_FAILURE(error)) break;
    out.append(buffer.data(), static_cast<size_t>(length));
    return;
  }
  EncodeWithoutConverter(out, run);
}

}  // namespace

std::string FileNameToSystem(std::u16string_view name) {
  std::string out;
  out.reserve(name.size());
  // Raw bytes are written directly: in encodings that can represent
  // U+F880..U+F8FF (UTF-8 among them) the callback would never see them.
  size_t runStart = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c < 0x80 || IsRaw(c)) {
      EncodeRun(out, name.substr(runStart, i - runStart));
      out += static_cast<char>(c < 0x80 ? c : c - kRawBase);
      runStart = i + 1;
    }
  }
  EncodeRun(out, name.substr(runStart));
  return out;
}

std::u16string FileNameFromSystem(std::string_view name) {
  bool plain = true;
  for (unsigned char c : name) plain = plain && c < 0x80;
  if (plain) return std::u16string(name.begin(), name.end());

  std::lock_guard<std::mutex> lock(gMutex);
  UConverter* converter = Converter();
  if (converter) {
    std::vector<UChar> buffer(name.size() * 2 + 16);
    UErrorCode error = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter, buffer.data(), static_cast<int32_t>(buffer.size()), name.data(),
                                         static_cast<int32_t>(name.size()), &error);
    if (U_SUCCESS(error)) return std::u16string(buffer.data(), static_cast<size_t>(length));
  }
  std::u16string out;
  for (unsigned char c : name) out += c < 0x80 ? char16_t(c) : char16_t(kRawBase + c);
  return out;
}

void UseFileNameConverter(const char* converterName) {
  UConverter* replacement = OpenConverter(converterName);
  std::lock_guard<std::mutex> lock(gMutex);
  Converter();
  if (!replacement) return;
  if (gConverter) ucnv_close(gConverter);
  gConverter = replacement;
}

std::string JoinPath(const std::string& directory, std::string_view name) {
  std::string path = !name.empty() && name[0] == '/' ? std::string("/") : directory;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view component = name.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos)
        path.clear();
      else
        path.resize(slash == 0 ? 1 : slash);
      continue;
    }
    if (!path.empty() && path != "/") path += '/';
    path.append(component);
  }
  return path;
}

std::string_view LastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return path;
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace FileLayer
