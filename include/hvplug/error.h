// Common::Error: a handle of one pointer to a chain of reference-counted error
// records. Records are built and read inline by both sides of the plug-in
// boundary, so the layout of ErrorRecord is part of the contract.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace Common {

struct ErrorRecord;

// The operations of a record, in this order. Unknown argument names give 0 or
// null; every kind answers "$module".
struct ErrorKind {
  void (*destroy)(ErrorRecord* record);
  ErrorRecord* (*clone)(const ErrorRecord* record);  // count 1, no cause
  std::u16string (*message)(const ErrorRecord* record);
  uint64_t (*getNumber)(const ErrorRecord* record, const char* name);
  const char* (*getNarrow)(const ErrorRecord* record, const char* name);
  const char16_t* (*getWide)(const ErrorRecord* record, const char* name);
  const char* (*argumentNames)(const ErrorRecord* record);
};

struct ErrorRecord {
  std::atomic<uint64_t> refCount;
  uint32_t code;
  ErrorRecord* cause;
  const ErrorKind* kind;
  uint64_t siteValue;
  const char* function;
  const char* source;
  uint32_t line;
  uint32_t size;  // whole allocation in bytes; errno for POSIX records
  // Offset from the record start when smaller than size, else a pointer into
  // the active message table.
  uintptr_t message;
  // kind-specific values follow

  template <class Char>
  const Char* Resolve(uintptr_t value) const {
    if (value == 0) return nullptr;
    if (value < size) return reinterpret_cast<const Char*>(reinterpret_cast<const char*>(this) + value);
    return reinterpret_cast<const Char*>(value);
  }
};

inline constexpr size_t kErrorRecordFixedSize = sizeof(ErrorRecord);
inline constexpr uint32_t kPosixErrorCode = 0xFFF1;

namespace Detail {
inline void ReleaseRecordChain(ErrorRecord* record) noexcept {
  while (record) {
    if (record->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    ErrorRecord* cause = record->cause;
    record->cause = nullptr;
    record->kind->destroy(record);
    record = cause;
  }
}
}  // namespace Detail

class Error {
 public:
  Error() noexcept = default;
  // Takes one new reference to the record.
  explicit Error(ErrorRecord* record) noexcept : record_(record) {
    if (record_) record_->refCount.fetch_add(1, std::memory_order_relaxed);
  }
  Error(const Error& other) noexcept : Error(other.record_) {}
  Error(Error&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
  Error& operator=(const Error& other) noexcept {
    Error copy(other);
    std::swap(record_, copy.record_);
    return *this;
  }
  Error& operator=(Error&& other) noexcept {
    Error moved(std::move(other));
    std::swap(record_, moved.record_);
    return *this;
  }
  ~Error() { Detail::ReleaseRecordChain(record_); }

  bool IsSuccess() const noexcept { return record_ == nullptr; }
  bool IsFailure() const noexcept { return record_ != nullptr; }
  explicit operator bool() const noexcept { return IsFailure(); }

  ErrorRecord* Record() const noexcept { return record_; }
  uint32_t Code() const noexcept { return record_ ? record_->code : 0; }
  Error Cause() const noexcept { return Error(record_ ? record_->cause : nullptr); }
  uint64_t SiteValue() const noexcept { return record_ ? record_->siteValue : 0; }
  const char* Function() const noexcept { return record_ ? record_->function : nullptr; }
  const char* Source() const noexcept { return record_ ? record_->source : nullptr; }
  uint32_t Line() const noexcept { return record_ ? record_->line : 0; }
  // The record's own message (for records with text arguments, the pattern).
  std::u16string Message() const { return record_ ? record_->kind->message(record_) : std::u16string(); }
  uint64_t GetNumber(const char* name) const {
    return record_ ? record_->kind->getNumber(record_, name) : 0;
  }
  const char* GetNarrow(const char* name) const {
    return record_ ? record_->kind->getNarrow(record_, name) : nullptr;
  }
  const char16_t* GetWide(const char* name) const {
    return record_ ? record_->kind->getWide(record_, name) : nullptr;
  }
  const char* ArgumentNames() const { return record_ ? record_->kind->argumentNames(record_) : nullptr; }

  // Gives up the handle's reference without releasing it.
  ErrorRecord* Detach() noexcept { return std::exchange(record_, nullptr); }

 private:
  ErrorRecord* record_ = nullptr;
};

static_assert(sizeof(Error) == sizeof(void*));

}  // namespace Common
