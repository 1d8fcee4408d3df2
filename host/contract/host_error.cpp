#include "host_error.h"

#include <unicode/ustring.h>

#include <cstring>

namespace Contract {
namespace {

struct HostRecord : Common::ErrorRecord {
  std::u16string text;
  std::u16string path;
  int systemError = 0;
};

const HostRecord* Host(const Common::ErrorRecord* record) { return static_cast<const HostRecord*>(record); }

std::u16string MessageOf(uint32_t code) {
  switch (code) {
    case kReadCode:
      return u"The host could not read the file.";
    case kEndOfFileCode:
      return u"The host reached the end of the file.";
    case kWriteCode:
      return u"The host could not write the file.";
    case kSeekCode:
      return u"The host could not seek in the file.";
    case kOpenCode:
      return u"The host could not open the file.";
    case kDeleteCode:
      return u"The host could not delete the file.";
    case kRenameCode:
      return u"The host could not rename the file.";
    case kCreateCode:
      return u"The host could not create the file.";
    case kAccessDeniedCode:
      return u"The host denied access to the file.";
    default:
      return u"The host does not support the operation.";
  }
}

HostRecord* NewRecord(uint32_t code, const char* function, std::u16string text, std::u16string path, int systemError);

void Destroy(Common::ErrorRecord* record) { delete static_cast<HostRecord*>(record); }

Common::ErrorRecord* Clone(const Common::ErrorRecord* record) {
  const HostRecord* host = Host(record);
  HostRecord* copy = NewRecord(host->code, host->function, host->text, host->path, host->systemError);
  copy->refCount.store(1);
  return copy;
}

std::u16string Message(const Common::ErrorRecord* record) { return Host(record)->text; }

uint64_t GetNumber(const Common::ErrorRecord* record, const char* name) {
  return std::strcmp(name, "errno") == 0 ? static_cast<uint64_t>(Host(record)->systemError) : 0;
}

const char* GetNarrow(const Common::ErrorRecord*, const char* name) {
  return std::strcmp(name, "$module") == 0 ? "hvcontract" : nullptr;
}

const char16_t* GetWide(const Common::ErrorRecord* record, const char* name) {
  return std::strcmp(name, "path") == 0 ? Host(record)->path.c_str() : nullptr;
}

const char* ArgumentNames(const Common::ErrorRecord*) { return "path,$module"; }

constexpr Common::ErrorKind kHostKind{Destroy, Clone, Message, GetNumber, GetNarrow, GetWide, ArgumentNames};

HostRecord* NewRecord(uint32_t code, const char* function, std::u16string text, std::u16string path, int systemError) {
  auto* record = new HostRecord();
  record->refCount.store(0);
  record->code = code;
  record->cause = nullptr;
  record->kind = &kHostKind;
  record->siteValue = 0;
  record->function = function;
  record->source = "host/contract";
  record->line = 0;
  record->size = sizeof(HostRecord);
  record->ErrorRecord::message = 0;  // the text lives in the host's own field
  record->text = std::move(text);
  record->path = std::move(path);
  record->systemError = systemError;
  return record;
}

}  // namespace

std::string Narrow(const std::u16string& text) {
  std::string narrow(text.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(narrow.data(), static_cast<int32_t>(narrow.size()), &length, text.data(),
                     static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  narrow.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return narrow;
}

std::u16string Widen(const std::string& text) {
  std::u16string wide(text.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  wide.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
  return wide;
}

Common::Error HostError(uint32_t code, const char* function, int systemError, const std::string& path) {
  return Common::Error(NewRecord(code, function, MessageOf(code), Widen(path), systemError));
}

}  // namespace Contract
