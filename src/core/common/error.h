// Building, chaining, throwing and describing Common::Error values.
//
//   throw Common::MakeError(Code::kInvalidArguments, Msg::kInvalidArguments, HV_SITE("Open"));
//   HV_THROW(Code::kFileRead, Msg::kFileReadError, "Read");
//   HV_THROW_ARGS(Code::kOpenVMFailed, Msg::kOpenVMFailed, "GetRegisteredVM", "VmId", {path});
//   return Common::Wrap(MakeError(...), inner);   // inner becomes the cause
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/common/error_codes.h"
#include "core/common/message_ids.h"
#include "core/common/utf.h"
#include "hvplug/error.h"

namespace Common {

using MessageId = uint32_t;

// Where an error was raised: site value, function, source path, line.
struct ErrorSite {
  uint64_t value;
  const char* function;
  const char* source;
  uint32_t line;
};

namespace Detail {
// __FILE__ arrives relative to src/ (the build maps the prefix away); records
// carry it without its extension.
template <size_t N>
struct SourceName {
  char text[N]{};
  constexpr SourceName(const char (&file)[N]) {
    size_t end = N - 1;
    for (size_t i = 0; i + 1 < N; ++i) {
      if (file[i] == '/') end = N - 1;
      if (file[i] == '.') end = i;
    }
    for (size_t i = 0; i < end; ++i) text[i] = file[i];
  }
};
// Fixed per source file and distinct between files; the line is added to it.
constexpr uint64_t SourceSiteBase(const char* file) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (; *file; ++file) hash = (hash ^ static_cast<unsigned char>(*file)) * 0x100000001b3ull;
  return hash & ~0xFFFFFull;
}
}  // namespace Detail

#define HV_SOURCE                                                                                \
  ([]() -> const char* {                                                                         \
    static constexpr ::Common::Detail::SourceName<sizeof(__FILE__)> kSourceName(__FILE__);      \
    return kSourceName.text;                                                                     \
  }())
#define HV_SITE_AT(function, line)                                                               \
  (::Common::ErrorSite{::Common::Detail::SourceSiteBase(__FILE__) + (line), (function), HV_SOURCE, \
                       static_cast<uint32_t>(line)})
#define HV_SITE(function) HV_SITE_AT(function, __LINE__)

// The message text of an id in the active table (null when none is active).
const char16_t* GetMessage(MessageId id);

// Code 0 gives success. A message inside the active table is referenced,
// any other message is copied into the record.
Error MakeError(uint32_t code, const char16_t* message, const ErrorSite& site);
Error MakeError(uint32_t code, MessageId message, const ErrorSite& site);
Error MakeNarrowError(uint32_t code, const char* message, const ErrorSite& site);
Error MakeNoMessageError(uint32_t code, const ErrorSite& site);
// argNames lists the arguments, comma-separated, without "$module"
// (for example "path1,path2"); values come in the same order. The message is
// a pattern whose {n} refers to the n-th value.
Error MakeErrorWithArgs(uint32_t code, const char16_t* message, const ErrorSite& site, const char* argNames,
                        std::initializer_list<std::u16string_view> values);
Error MakeErrorWithArgs(uint32_t code, MessageId message, const ErrorSite& site, const char* argNames,
                        std::initializer_list<std::u16string_view> values);

// A POSIX record (code 0xFFF1) for errnum.
Error MakePosixError(int errnum);
// Attaches a POSIX record for errnum beneath error's first record.
void AddPosixError(Error& error, int errnum);
// Makes inner the cause of outer's first record (cloning it when shared).
void SetCause(Error& outer, const Error& inner);
inline Error Wrap(Error outer, const Error& inner) {
  SetCause(outer, inner);
  return outer;
}

// Builds a chain of received records from serialized bytes; success when the
// bytes hold none.
Error ErrorFromSerialized(const void* data, size_t size);

// The message of the first record with its arguments filled in.
std::u16string FormatErrorMessage(const Error& error);
// Every record of the chain as "0xCODE message", one a line.
std::string DescribeErrorChain(const Error& error);

// Returns the process-wide copy of text, adding it when absent.
const char* InternText(std::string_view text);

// The shared success value.
inline Error Success() { return Error(); }

[[noreturn]] void Throw(const Error& error);

}  // namespace Common

#define HV_THROW(code, message, function) ::Common::Throw(::Common::MakeError((code), (message), HV_SITE(function)))
#define HV_THROW_ARGS(code, message, function, argNames, ...)                                      \
  ::Common::Throw(::Common::MakeErrorWithArgs((code), (message), HV_SITE(function), (argNames), __VA_ARGS__))
