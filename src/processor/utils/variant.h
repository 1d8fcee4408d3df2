// Processor::Variant: the tagged value behind message arguments, property
// values and error arguments.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hvplug/error.h"
#include "hvplug/processor.h"
#include "processor/protected_object.h"
#include "processor/string_enum.h"

namespace Processor {

class Variant;

// Host interface that yields an object's value as a variant.
class ValueSource : public virtual Interface {
 public:
  static constexpr uint32_t kInterfaceId = 0x28C08C89;
  virtual Variant GetValue() = 0;
};

// Objects that describe themselves as text, shown by plain placeholders.
class TextSource : public virtual Interface {
 public:
  static constexpr uint32_t kInterfaceId = 0x1CF3BDE6;
  virtual std::u16string GetText() = 0;
};
class DisplayTextSource : public virtual Interface {
 public:
  static constexpr uint32_t kInterfaceId = 0x1B0849E6;
  virtual std::u16string GetText() = 0;
};

class Variant {
 public:
  // Values are fixed: they travel with property sets and error arguments.
  enum Type : int32_t {
    TDate = 0,  // milliseconds since 1970-01-01 00:00 UTC, as ICU counts dates
    TDouble = 1,
    TLong = 2,
    TULong = 3,
    TString = 4,
    TLong64 = 5,
    TULong64 = 6,
    TInterface = 7,
    TBinary = 8,
    TIdentifier = 9,
    TBool = 10,
    TVariant = 11,
    TError = 12,
    TEmpty = 13,
  };

  class Allocator;

  // Thrown by failed conversions and typed getters.
  class Error : public Common::Error {
   public:
    explicit Error(Common::Error error) : Common::Error(std::move(error)) {}
  };

  // A reference-counted byte block, shared between copies.
  struct BinaryBlock {
    std::atomic<int64_t> refCount{1};
    std::vector<uint8_t> bytes;
  };

  Variant() noexcept : type_(TEmpty) { payload_.words[0] = payload_.words[1] = 0; }
  Variant(double value) noexcept;
  Variant(int value) noexcept;
  Variant(unsigned value) noexcept;
  Variant(long value) noexcept;
  Variant(unsigned long value) noexcept;
  Variant(long long value) noexcept;
  Variant(unsigned long long value) noexcept;
  Variant(bool value) noexcept;
  Variant(std::u16string_view text);
  Variant(const char16_t* text) : Variant(std::u16string_view(text ? text : u"")) {}
  Variant(const std::u16string& text) : Variant(std::u16string_view(text)) {}
  // Narrow texts are identifiers.
  Variant(std::string_view identifier);
  Variant(const char* identifier) : Variant(std::string_view(identifier ? identifier : "")) {}
  Variant(const std::string& identifier) : Variant(std::string_view(identifier)) {}
  Variant(const AutoRef<Interface>& object);
  Variant(const Common::Error& error) noexcept;

  static Variant Date(double millisecondsSinceEpoch) noexcept;
  static Variant Binary(std::span<const uint8_t> bytes);
  static Variant Nested(const Variant& value);

  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  Type GetType() const noexcept { return type_; }
  bool IsEmpty() const noexcept { return type_ == TEmpty; }
  bool IsInteger() const noexcept { return type_ == TLong || type_ == TULong || type_ == TLong64 || type_ == TULong64; }
  // A number of any numeric tag (date, double or integer).
  bool IsNumeric() const noexcept { return IsInteger() || type_ == TDouble || type_ == TDate; }

  // Typed getters: the tag must match exactly (FormatGetValueError otherwise).
  double GetDate() const;
  double GetDouble() const;
  int32_t GetLong() const;
  uint32_t GetULong() const;
  const std::u16string& GetString() const;
  int64_t GetLong64() const;
  uint64_t GetULong64() const;
  AutoRef<Interface> GetInterface() const;
  std::span<const uint8_t> GetBinary() const;
  const std::string& GetIdentifier() const;
  bool GetBool() const;
  const Variant& GetVariant() const;
  Common::Error GetError() const;

  // The conversions; both throw FormatConversionError.
  std::u16string ToString() const;
  double ToDouble() const;
  // ToString without the exception: false when the value has no text.
  static bool TryText(const Variant& value, std::u16string& out, int depth = 0);

  // The enumeration of the type tags, named "Type".
  static const string_enum& TypeEnum();
  static const char* TypeName(Type type);

 private:
  union Payload {
    uint64_t words[2];
    double real;
    int32_t int32;
    uint32_t uint32;
    int64_t int64;
    uint64_t uint64;
    bool boolean;
    std::u16string* text;
    std::string* identifier;
    struct {
      Interface* object;
      MetaClass* metaClass;
    } ref;
    BinaryBlock* binary;
    Variant* nested;
    Common::ErrorRecord* error;
  };
  static_assert(sizeof(Payload) == 16);

  void CopyFrom(const Variant& other);
  void Clear() noexcept;
  [[noreturn]] void ThrowGetValue(Type requested) const;
  double ToDoubleAt(int depth) const;

  Payload payload_;
  Type type_;
};

// Pools the string objects of "TString" and "TIdentifier" values: at most
// kMaxCached of each kind wait for reuse. Used as
// Singleton<Variant::Allocator, true>.
class Variant::Allocator : public RefObject, public ProtectedObject {
 public:
  static constexpr size_t kMaxCached = 10;

  Allocator() = default;
  ~Allocator() override;

  std::u16string* TakeString(std::u16string_view text);
  void ReleaseString(std::u16string* text) noexcept;
  std::string* TakeIdentifier(std::string_view text);
  void ReleaseIdentifier(std::string* text) noexcept;

  size_t CachedStrings();
  size_t CachedIdentifiers();

 private:
  std::vector<std::u16string*> strings_;
  std::vector<std::string*> identifiers_;
};

// RFC 4648 Base64 with "=" padding.
std::u16string EncodeBase64(std::span<const uint8_t> bytes);

// The numeric value of a text: decimal, "0x" hexadecimal, or a size with a
// unit ("1.5 GB"); the whole text must be used. False when it does not convert.
bool ParseNumberText(std::u16string_view text, double& value);

}  // namespace Processor
