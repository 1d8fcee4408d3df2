// Error records of every kind, chaining and the POSIX records.
#include "core/common/error.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "core/common/error_records.h"
#include "core/common/messages.h"

namespace Common {

namespace Detail {

const char kModuleId[] = "hvplug_glxa64_42582";
const char16_t kModuleIdWide[] = u"hvplug_glxa64_42582";

bool IsModuleName(const char* name) { return name && std::strcmp(name, "$module") == 0; }

ErrorRecord* AllocateRecord(size_t size, uint32_t code, const ErrorKind* kind, const ErrorSite* site) {
  void* memory = ::operator new(size, std::nothrow);
  if (!memory) return nullptr;
  std::memset(memory, 0, size);
  auto* record = new (memory) ErrorRecord{};
  record->refCount.store(0, std::memory_order_relaxed);
  record->code = code;
  record->kind = kind;
  record->size = static_cast<uint32_t>(size);
  if (site) {
    record->siteValue = site->value;
    record->function = site->function;
    record->source = site->source;
    record->line = site->line;
  }
  return record;
}

void FreeRecord(ErrorRecord* record) {
  record->~ErrorRecord();
  ::operator delete(record);
}

ErrorRecord* CloneBytes(const ErrorRecord* record, size_t size) {
  void* memory = ::operator new(size, std::nothrow);
  if (!memory) return nullptr;
  std::memcpy(memory, static_cast<const void*>(record), size);
  auto* clone = static_cast<ErrorRecord*>(memory);
  new (&clone->refCount) std::atomic<uint64_t>(1);
  clone->cause = nullptr;
  return clone;
}

ErrorRecord* CloneRecord(const ErrorRecord* record) { return CloneBytes(record, record->size); }

std::u16string WidenBytes(const char* text) {
  std::u16string out;
  if (text)
    for (; *text; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

uint64_t NoNumber(const ErrorRecord*, const char*) { return 0; }
const char* ModuleNarrow(const ErrorRecord*, const char* name) { return IsModuleName(name) ? kModuleId : nullptr; }
const char16_t* ModuleWide(const ErrorRecord*, const char* name) {
  return IsModuleName(name) ? kModuleIdWide : nullptr;
}
const char* ModuleOnly(const ErrorRecord*) { return "$module"; }

}  // namespace Detail

namespace {

using namespace Detail;

std::u16string WideMessage(const ErrorRecord* r) {
  const char16_t* text = r->Resolve<char16_t>(r->message);
  return text ? std::u16string(text) : std::u16string();
}
std::u16string NarrowMessage(const ErrorRecord* r) { return WidenBytes(r->Resolve<char>(r->message)); }
std::u16string NoMessage(const ErrorRecord*) { return {}; }

const ErrorKind kWideKind{FreeRecord, CloneRecord, WideMessage, NoNumber, ModuleNarrow, ModuleWide, ModuleOnly};
const ErrorKind kNarrowKind{FreeRecord, CloneRecord, NarrowMessage, NoNumber, ModuleNarrow, ModuleWide, ModuleOnly};
const ErrorKind kNoMessageKind{FreeRecord, CloneRecord, NoMessage, NoNumber, ModuleNarrow, ModuleWide, ModuleOnly};

// POSIX records have a fixed size; the size field holds errno instead.
ErrorRecord* ClonePosix(const ErrorRecord* r) { return CloneBytes(r, sizeof(ErrorRecord)); }
std::u16string PosixMessage(const ErrorRecord* r) {
  char buffer[256];
  const int errnum = static_cast<int>(r->size);
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return WidenBytes(strerror_r(errnum, buffer, sizeof buffer));
#else
  if (strerror_r(errnum, buffer, sizeof buffer) != 0) buffer[0] = 0;
  return WidenBytes(buffer);
#endif
}
uint64_t PosixNumber(const ErrorRecord* r, const char* name) {
  return name && std::strcmp(name, "code") == 0 ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int>(r->size)))
                                                : 0;
}
const char* PosixNames(const ErrorRecord*) { return "code,$module"; }
const ErrorKind kPosixKind{FreeRecord, ClonePosix, PosixMessage, PosixNumber, ModuleNarrow, ModuleWide, PosixNames};

// The shared out-of-memory record: its count never reaches zero.
void NeverFree(ErrorRecord*) {}
const ErrorKind kOutOfMemoryKind{NeverFree, CloneRecord, NoMessage, NoNumber, ModuleNarrow, ModuleWide, ModuleOnly};
ErrorRecord* OutOfMemoryRecord() {
  static ErrorRecord* record = [] {
    static ErrorRecord r{};
    r.refCount.store(uint64_t{1} << 62, std::memory_order_relaxed);
    r.code = 0x8007000E;
    r.kind = &kOutOfMemoryKind;
    r.function = "MakeError";
    r.source = "core/common/error";
    r.size = sizeof(ErrorRecord);
    return &r;
  }();
  return record;
}

Error Hold(ErrorRecord* record) { return Error(record ? record : OutOfMemoryRecord()); }

// Records with text arguments: one kind per distinct list of names.
struct ArgsKind {
  ErrorKind ops;
  std::string names;  // with ",$module" appended
  size_t count;
};

const ArgsKind* AsArgsKind(const ErrorRecord* r) { return reinterpret_cast<const ArgsKind*>(r->kind); }
const uintptr_t* ArgValues(const ErrorRecord* r) {
  return reinterpret_cast<const uintptr_t*>(reinterpret_cast<const char*>(r) + sizeof(ErrorRecord));
}
// Position of name in a comma-separated list, or -1.
long IndexOfName(const char* list, const char* name) {
  if (!name || !*name) return -1;
  const size_t length = std::strlen(name);
  long index = 0;
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, ',');
    const size_t itemLength = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (itemLength == length && std::memcmp(p, name, length) == 0) return index;
    ++index;
    if (!end) break;
    p = end + 1;
  }
  return -1;
}
const char16_t* ArgsWide(const ErrorRecord* r, const char* name) {
  if (IsModuleName(name)) return kModuleIdWide;
  const long index = IndexOfName(AsArgsKind(r)->names.c_str(), name);
  if (index < 0 || static_cast<size_t>(index) >= AsArgsKind(r)->count) return nullptr;
  return r->Resolve<char16_t>(ArgValues(r)[index]);
}
const char* ArgsNames(const ErrorRecord* r) { return AsArgsKind(r)->names.c_str(); }

const ErrorKind* KindForArgs(const char* argNames) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<ArgsKind>> kinds;
  std::lock_guard<std::mutex> lock(mutex);
  auto& kind = kinds[argNames];
  if (!kind) {
    kind = std::make_unique<ArgsKind>();
    kind->ops = ErrorKind{FreeRecord, CloneRecord, WideMessage, NoNumber, ModuleNarrow, ArgsWide, ArgsNames};
    kind->names = std::string(argNames) + (*argNames ? ",$module" : "$module");
    kind->count = *argNames ? 1 : 0;
    for (const char* p = argNames; *p; ++p) kind->count += *p == ',';
  }
  return &kind->ops;
}

size_t Align(size_t n) { return (n + alignof(uintptr_t) - 1) & ~(alignof(uintptr_t) - 1); }

// Copies a zero-terminated text behind the record unless it lies in the
// active message table.
struct TextPlan {
  const char16_t* text;
  size_t bytes;  // 0: referenced, not copied
};
TextPlan PlanText(const char16_t* text) {
  if (!text || IsInActiveTable(text)) return {text, 0};
  return {text, (std::char_traits<char16_t>::length(text) + 1) * sizeof(char16_t)};
}
uintptr_t PlaceText(ErrorRecord* record, size_t& at, const TextPlan& plan) {
  if (!plan.text) return 0;
  if (plan.bytes == 0) return reinterpret_cast<uintptr_t>(plan.text);
  std::memcpy(reinterpret_cast<char*>(record) + at, plan.text, plan.bytes);
  const uintptr_t offset = at;
  at += plan.bytes;
  return offset;
}

}  // namespace

Error MakeError(uint32_t code, const char16_t* message, const ErrorSite& site) {
  if (code == 0) return Error();
  const TextPlan plan = PlanText(message);
  ErrorRecord* record = AllocateRecord(sizeof(ErrorRecord) + plan.bytes, code, &kWideKind, &site);
  if (record) {
    size_t at = sizeof(ErrorRecord);
    record->message = PlaceText(record, at, plan);
  }
  return Hold(record);
}

Error MakeError(uint32_t code, MessageId message, const ErrorSite& site) {
  return MakeError(code, GetMessage(message), site);
}

Error MakeNarrowError(uint32_t code, const char* message, const ErrorSite& site) {
  if (code == 0) return Error();
  const size_t bytes = message ? std::strlen(message) + 1 : 0;
  ErrorRecord* record = AllocateRecord(sizeof(ErrorRecord) + bytes, code, &kNarrowKind, &site);
  if (record && message) {
    std::memcpy(reinterpret_cast<char*>(record) + sizeof(ErrorRecord), message, bytes);
    record->message = sizeof(ErrorRecord);
  }
  return Hold(record);
}

Error MakeNoMessageError(uint32_t code, const ErrorSite& site) {
  if (code == 0) return Error();
  return Hold(AllocateRecord(sizeof(ErrorRecord), code, &kNoMessageKind, &site));
}

Error MakeErrorWithArgs(uint32_t code, const char16_t* message, const ErrorSite& site, const char* argNames,
                        std::initializer_list<std::u16string_view> values) {
  if (code == 0) return Error();
  const ErrorKind* kind = KindForArgs(argNames ? argNames : "");
  const size_t count = reinterpret_cast<const ArgsKind*>(kind)->count;
  const TextPlan plan = PlanText(message);
  size_t size = sizeof(ErrorRecord) + count * sizeof(uintptr_t) + plan.bytes;
  size_t index = 0;
  for (auto value : values)
    if (index++ < count) size += (value.size() + 1) * sizeof(char16_t);
  ErrorRecord* record = AllocateRecord(Align(size), code, kind, &site);
  if (record) {
    size_t at = sizeof(ErrorRecord) + count * sizeof(uintptr_t);
    record->message = PlaceText(record, at, plan);
    auto* slots = reinterpret_cast<uintptr_t*>(reinterpret_cast<char*>(record) + sizeof(ErrorRecord));
    index = 0;
    for (auto value : values) {
      if (index >= count) break;
      char* out = reinterpret_cast<char*>(record) + at;
      std::memcpy(out, value.data(), value.size() * sizeof(char16_t));
      std::memset(out + value.size() * sizeof(char16_t), 0, sizeof(char16_t));
      slots[index++] = at;
      at += (value.size() + 1) * sizeof(char16_t);
    }
  }
  return Hold(record);
}

Error MakeErrorWithArgs(uint32_t code, MessageId message, const ErrorSite& site, const char* argNames,
                        std::initializer_list<std::u16string_view> values) {
  return MakeErrorWithArgs(code, GetMessage(message), site, argNames, values);
}

Error MakePosixError(int errnum) {
  const ErrorSite site = HV_SITE_AT("AddPosixError", 346);
  ErrorRecord* record = AllocateRecord(sizeof(ErrorRecord), kPosixErrorCode, &kPosixKind, &site);
  if (record) record->size = static_cast<uint32_t>(errnum);
  return Hold(record);
}

void SetCause(Error& outer, const Error& inner) {
  if (inner.IsSuccess()) return;
  if (outer.IsSuccess()) {
    outer = inner;
    return;
  }
  ErrorRecord* first = outer.Record();
  if (first->refCount.load(std::memory_order_acquire) == 1 && first->kind->destroy != NeverFree) {
    ErrorRecord* old = first->cause;
    first->cause = Error(inner).Detach();
    Detail::ReleaseRecordChain(old);
    return;
  }
  ErrorRecord* clone = first->kind->clone(first);
  if (!clone) {
    outer = Hold(nullptr);
    return;
  }
  clone->cause = Error(inner).Detach();
  Error replacement;
  replacement = Error(clone);
  clone->refCount.fetch_sub(1, std::memory_order_relaxed);  // the clone started at 1
  outer = std::move(replacement);
}

void AddPosixError(Error& error, int errnum) { SetCause(error, MakePosixError(errnum)); }

void Throw(const Error& error) { throw Error(error); }

}  // namespace Common
