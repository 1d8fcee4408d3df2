// Errors received in serialized form from the resource library.
//
// Layout: byte 0 = 1 (version), then records:
//   u32 code (0 ends the list), u64 site value, UTF-8 message + NUL,
//   arguments: name + NUL, type letter, value; an empty name ends them.
//   'N' 8-byte number, 'A' narrow text + NUL, 'W' UTF-8 text + NUL.
// "$file", "$func" (both 'A') and "$line" ('N') set source, function, line.
#include <cstring>
#include <string>
#include <vector>

#include "core/common/byte_order.h"
#include "core/common/error.h"
#include "core/common/error_records.h"

namespace Common {

namespace {

using namespace Detail;

constexpr size_t kMinimumSize = 13;

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at;

  bool Take(void* out, size_t n) {
    if (size - at < n) return false;
    std::memcpy(out, data + at, n);
    at += n;
    return true;
  }
  // A zero-terminated text; false when the terminator is missing.
  bool TakeText(std::string_view& out) {
    const void* end = std::memchr(data + at, 0, size - at);
    if (!end) return false;
    const size_t length = static_cast<const uint8_t*>(end) - (data + at);
    out = std::string_view(reinterpret_cast<const char*>(data + at), length);
    at += length + 1;
    return true;
  }
};

struct Argument {
  std::string name;
  char type;
  uint64_t number = 0;
  std::string narrow;
  std::u16string wide;
};

struct ParsedRecord {
  uint32_t code = 0;
  uint64_t site = 0;
  std::u16string message;
  const char* source = nullptr;
  const char* function = nullptr;
  uint32_t line = 0;
  std::vector<Argument> args;
};

// Received record: fixed part, u32 offset of the name list, one u32 offset
// per argument, then the message, the name list and the typed values.
const char* ReceivedNames(const ErrorRecord* r) {
  uint32_t offset;
  std::memcpy(&offset, reinterpret_cast<const char*>(r) + sizeof(ErrorRecord), 4);
  return reinterpret_cast<const char*>(r) + offset;
}

const char* FindValue(const ErrorRecord* r, const char* name, char type) {
  if (!name || !*name) return nullptr;
  const char* list = ReceivedNames(r);
  size_t index = 0;
  const size_t length = std::strlen(name);
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, ',');
    const size_t itemLength = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (itemLength == length && std::memcmp(p, name, length) == 0) {
      uint32_t offset;
      std::memcpy(&offset, reinterpret_cast<const char*>(r) + sizeof(ErrorRecord) + 4 + 4 * index, 4);
      const char* value = reinterpret_cast<const char*>(r) + offset;
      return *value == type ? value + 1 : nullptr;
    }
    ++index;
    if (!end) break;
    p = end + 1;
  }
  return nullptr;
}

std::u16string ReceivedMessage(const ErrorRecord* r) {
  const char16_t* text = r->Resolve<char16_t>(r->message);
  return text ? std::u16string(text) : std::u16string();
}
uint64_t ReceivedNumber(const ErrorRecord* r, const char* name) {
  const char* value = FindValue(r, name, 'N');
  if (!value) return 0;
  uint64_t number;
  std::memcpy(&number, value, 8);
  return number;
}
const char* ReceivedNarrow(const ErrorRecord* r, const char* name) {
  if (IsModuleName(name)) return kModuleId;
  return FindValue(r, name, 'A');
}
const char16_t* ReceivedWide(const ErrorRecord* r, const char* name) {
  if (IsModuleName(name)) return kModuleIdWide;
  const char* value = FindValue(r, name, 'W');
  return reinterpret_cast<const char16_t*>(value);
}

const ErrorKind kReceivedKind{FreeRecord,     CloneRecord,  ReceivedMessage, ReceivedNumber,
                              ReceivedNarrow, ReceivedWide, ReceivedNames};

size_t Align2(size_t n) { return (n + 1) & ~size_t{1}; }
size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

Error BuildRecord(const ParsedRecord& parsed) {
  std::string names;
  for (const auto& a : parsed.args) names += a.name + ",";
  names += "$module";
  size_t size = sizeof(ErrorRecord) + 4 + 4 * parsed.args.size();
  size = Align2(size);
  const size_t messageAt = size;
  size += (parsed.message.size() + 1) * 2;
  const size_t namesAt = size;
  size += names.size() + 1;
  std::vector<size_t> valueAt;
  for (const auto& a : parsed.args) {
    size = Align2(size);
    // Keep the text after the type letter aligned for UTF-16 reads.
    if (a.type == 'W' && size % 2 == 0) ++size;
    valueAt.push_back(size);
    size += 1 + (a.type == 'N' ? 8 : a.type == 'A' ? a.narrow.size() + 1 : (a.wide.size() + 1) * 2);
  }
  const ErrorSite site{parsed.site, parsed.function, parsed.source, parsed.line};
  ErrorRecord* record = AllocateRecord(Align8(size), parsed.code, &kReceivedKind, &site);
  if (!record) return MakeNoMessageError(parsed.code, site);
  char* base = reinterpret_cast<char*>(record);
  const uint32_t namesOffset = static_cast<uint32_t>(namesAt);
  std::memcpy(base + sizeof(ErrorRecord), &namesOffset, 4);
  std::memcpy(base + messageAt, parsed.message.c_str(), (parsed.message.size() + 1) * 2);
  record->message = messageAt;
  std::memcpy(base + namesAt, names.c_str(), names.size() + 1);
  for (size_t i = 0; i < parsed.args.size(); ++i) {
    const auto& a = parsed.args[i];
    const uint32_t offset = static_cast<uint32_t>(valueAt[i]);
    std::memcpy(base + sizeof(ErrorRecord) + 4 + 4 * i, &offset, 4);
    char* out = base + valueAt[i];
    *out++ = a.type;
    if (a.type == 'N')
      std::memcpy(out, &a.number, 8);
    else if (a.type == 'A')
      std::memcpy(out, a.narrow.c_str(), a.narrow.size() + 1);
    else
      std::memcpy(out, a.wide.c_str(), (a.wide.size() + 1) * 2);
  }
  return Error(record);
}

// Reads one record; false when it breaks the rules (or ends the list).
bool ParseRecord(Reader& in, ParsedRecord& out) {
  uint8_t code[4], site[8];
  if (!in.Take(code, 4)) return false;
  out.code = LoadLe32(code);
  if (out.code == 0) return false;
  if (!in.Take(site, 8)) return false;
  out.site = LoadLe64(site);
  std::string_view message;
  if (!in.TakeText(message)) return false;
  bool clean = false;
  out.message = Utf8ToUtf16(message, &clean);
  if (!clean) return false;
  for (;;) {
    std::string_view name;
    if (!in.TakeText(name)) return false;
    if (name.empty()) return true;
    char type;
    if (!in.Take(&type, 1)) return false;
    Argument arg{std::string(name), type};
    std::string_view text;
    if (type == 'N') {
      uint8_t number[8];
      if (!in.Take(number, 8)) return false;
      arg.number = LoadLe64(number);
    } else if (type == 'A') {
      if (!in.TakeText(text)) return false;
      arg.narrow = std::string(text);
    } else if (type == 'W') {
      if (!in.TakeText(text)) return false;
      arg.wide = Utf8ToUtf16(text, &clean);
      if (!clean) return false;
    } else {
      return false;
    }
    // Names are kept in a comma-separated list, so a comma cannot be part of one.
    if (arg.name.find(',') != std::string::npos) return false;
    if (arg.name == "$file" || arg.name == "$func" || arg.name == "$line") {
      const char expected = arg.name == "$line" ? 'N' : 'A';
      if (type != expected) return false;
      if (arg.name == "$file")
        out.source = InternText(arg.narrow);
      else if (arg.name == "$func")
        out.function = InternText(arg.narrow);
      else
        out.line = static_cast<uint32_t>(arg.number);
      continue;
    }
    out.args.push_back(std::move(arg));
  }
}

}  // namespace

Error ErrorFromSerialized(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (!bytes || size < kMinimumSize || bytes[0] != 1) return Error();
  Reader in{bytes, size, 1};
  std::vector<Error> chain;
  for (;;) {
    ParsedRecord parsed;
    if (!ParseRecord(in, parsed)) break;
    chain.push_back(BuildRecord(parsed));
  }
  // Each following record is the cause of the one before it.
  Error result;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    SetCause(*it, result);
    result = std::move(*it);
  }
  return result;
}

}  // namespace Common
