#include "processor/utils/variant.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "core/common/error.h"
#include "processor/format/formatters_holder.h"
#include "processor/singleton.h"

namespace Processor {

namespace {

bool ValueOfObject(const AutoRef<Interface>& object, Variant& value);

// Values of interfaces may yield interfaces again; stop after a few rounds.
constexpr int kMaxValueDepth = 8;

RefPtr<Variant::Allocator> Pool() { return Singleton<Variant::Allocator, true>::Instance(); }

std::u16string Widen(const char* text) { return Common::Utf8ToUtf16(text ? text : ""); }

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

}  // namespace

// ---- allocator -------------------------------------------------------------------

Variant::Allocator::~Allocator() {
  for (std::u16string* s : strings_) delete s;
  for (std::string* s : identifiers_) delete s;
}

std::u16string* Variant::Allocator::TakeString(std::u16string_view text) {
  std::u16string* s = nullptr;
  {
    std::lock_guard<ProtectedObject> lock(*this);
    if (!strings_.empty()) {
      s = strings_.back();
      strings_.pop_back();
    }
  }
  if (!s) return new std::u16string(text);
  s->assign(text);
  return s;
}

void Variant::Allocator::ReleaseString(std::u16string* text) noexcept {
  if (!text) return;
  {
    std::lock_guard<ProtectedObject> lock(*this);
    if (strings_.size() < kMaxCached) {
      text->clear();
      strings_.push_back(text);
      return;
    }
  }
  delete text;
}

std::string* Variant::Allocator::TakeIdentifier(std::string_view text) {
  std::string* s = nullptr;
  {
    std::lock_guard<ProtectedObject> lock(*this);
    if (!identifiers_.empty()) {
      s = identifiers_.back();
      identifiers_.pop_back();
    }
  }
  if (!s) return new std::string(text);
  s->assign(text);
  return s;
}

void Variant::Allocator::ReleaseIdentifier(std::string* text) noexcept {
  if (!text) return;
  {
    std::lock_guard<ProtectedObject> lock(*this);
    if (identifiers_.size() < kMaxCached) {
      text->clear();
      identifiers_.push_back(text);
      return;
    }
  }
  delete text;
}

size_t Variant::Allocator::CachedStrings() {
  std::lock_guard<ProtectedObject> lock(*this);
  return strings_.size();
}

size_t Variant::Allocator::CachedIdentifiers() {
  std::lock_guard<ProtectedObject> lock(*this);
  return identifiers_.size();
}

// ---- construction ------------------------------------------------------------------

Variant::Variant(double value) noexcept : type_(TDouble) {
  payload_.words[1] = 0;
  payload_.real = value;
}
Variant::Variant(int value) noexcept : type_(TLong) {
  payload_.words[0] = payload_.words[1] = 0;
  payload_.int32 = value;
}
Variant::Variant(unsigned value) noexcept : type_(TULong) {
  payload_.words[0] = payload_.words[1] = 0;
  payload_.uint32 = value;
}
Variant::Variant(long value) noexcept : type_(TLong64) {
  payload_.words[1] = 0;
  payload_.int64 = value;
}
Variant::Variant(unsigned long value) noexcept : type_(TULong64) {
  payload_.words[1] = 0;
  payload_.uint64 = value;
}
Variant::Variant(long long value) noexcept : type_(TLong64) {
  payload_.words[1] = 0;
  payload_.int64 = value;
}
Variant::Variant(unsigned long long value) noexcept : type_(TULong64) {
  payload_.words[1] = 0;
  payload_.uint64 = value;
}
Variant::Variant(bool value) noexcept : type_(TBool) {
  payload_.words[0] = payload_.words[1] = 0;
  payload_.boolean = value;
}
Variant::Variant(std::u16string_view text) : type_(TString) {
  payload_.words[1] = 0;
  payload_.text = Pool()->TakeString(text);
}
Variant::Variant(std::string_view identifier) : type_(TIdentifier) {
  payload_.words[1] = 0;
  payload_.identifier = Pool()->TakeIdentifier(identifier);
}
Variant::Variant(const AutoRef<Interface>& object) : type_(TInterface) {
  AutoRef<Interface> copy(object);
  const InterfacePair pair = copy.Detach();
  payload_.ref.object = static_cast<Interface*>(pair.object);
  payload_.ref.metaClass = pair.metaClass;
}
Variant::Variant(const Common::Error& error) noexcept : type_(TError) {
  payload_.words[1] = 0;
  payload_.error = Common::Error(error).Detach();
}

Variant Variant::Date(double millisecondsSinceEpoch) noexcept {
  Variant v(millisecondsSinceEpoch);
  v.type_ = TDate;
  return v;
}

Variant Variant::Binary(std::span<const uint8_t> bytes) {
  Variant v;
  auto* block = new BinaryBlock();
  block->bytes.assign(bytes.begin(), bytes.end());
  v.payload_.binary = block;
  v.type_ = TBinary;
  return v;
}

Variant Variant::Nested(const Variant& value) {
  Variant v;
  v.payload_.nested = new Variant(value);
  v.type_ = TVariant;
  return v;
}

void Variant::CopyFrom(const Variant& other) {
  payload_ = other.payload_;
  type_ = other.type_;
  switch (type_) {
    case TString:
      payload_.text = Pool()->TakeString(*other.payload_.text);
      break;
    case TIdentifier:
      payload_.identifier = Pool()->TakeIdentifier(*other.payload_.identifier);
      break;
    case TInterface:
      if (payload_.ref.object) payload_.ref.metaClass->AddRef(payload_.ref.object);
      break;
    case TBinary:
      payload_.binary->refCount.fetch_add(1, std::memory_order_relaxed);
      break;
    case TVariant:
      payload_.nested = new Variant(*other.payload_.nested);
      break;
    case TError:
      payload_.error = Common::Error(other.payload_.error).Detach();
      break;
    default:
      break;
  }
}

void Variant::Clear() noexcept {
  switch (type_) {
    case TString:
      Pool()->ReleaseString(payload_.text);
      break;
    case TIdentifier:
      Pool()->ReleaseIdentifier(payload_.identifier);
      break;
    case TInterface:
      if (payload_.ref.object) payload_.ref.metaClass->Release(payload_.ref.object);
      break;
    case TBinary:
      if (payload_.binary->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete payload_.binary;
      break;
    case TVariant:
      delete payload_.nested;
      break;
    case TError:
      Common::Detail::ReleaseRecordChain(payload_.error);
      break;
    default:
      break;
  }
  type_ = TEmpty;
  payload_.words[0] = payload_.words[1] = 0;
}

Variant::Variant(const Variant& other) : type_(TEmpty) { CopyFrom(other); }

Variant::Variant(Variant&& other) noexcept : payload_(other.payload_), type_(other.type_) {
  other.type_ = TEmpty;
  other.payload_.words[0] = other.payload_.words[1] = 0;
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    payload_ = other.payload_;
    type_ = other.type_;
    other.type_ = TEmpty;
    other.payload_.words[0] = other.payload_.words[1] = 0;
  }
  return *this;
}

Variant::~Variant() { Clear(); }

// ---- type names ------------------------------------------------------------------------

const string_enum& Variant::TypeEnum() {
  static const string_enum kTypes(
      "Type", {"TDate = 0", "TDouble", "TLong", "TULong", "TString", "TLong64", "TULong64", "TInterface", "TBinary",
               "TIdentifier", "TBool", "TVariant", "TError", "TEmpty"});
  return kTypes;
}

const char* Variant::TypeName(Type type) {
  const std::string* name = TypeEnum().Find(type);
  return name ? name->c_str() : "";
}

// ---- errors ------------------------------------------------------------------------------

namespace {

// The value as text for error messages; never throws.
std::u16string Describe(const Variant& value, int depth = 0) {
  std::u16string text;
  switch (value.GetType()) {
    case Variant::TVariant:
      if (depth < kMaxValueDepth) return Describe(value.GetVariant(), depth + 1);
      return text;
    case Variant::TError: {
      char code[16];
      std::snprintf(code, sizeof code, "0x%X", value.GetError().Code());
      return Widen(code);
    }
    default:
      Variant::TryText(value, text);
      return text;
  }
}

[[noreturn]] void ThrowConversion(const Variant& value, Variant::Type target) {
  throw Variant::Error(Common::MakeErrorWithArgs(
      Code::kFormatConversionError, Msg::kFormatConversionError, HV_SITE("Convert"), "SourceType,Value,TargetType",
      {Widen(Variant::TypeName(value.GetType())), Describe(value), Widen(Variant::TypeName(target))}));
}

}  // namespace

void Variant::ThrowGetValue(Type requested) const {
  throw Error(Common::MakeErrorWithArgs(Code::kFormatGetValueError, Msg::kFormatGetValueError, HV_SITE("GetValue"),
                                        "RequestedType,SourceType,Value",
                                        {Widen(TypeName(requested)), Widen(TypeName(type_)), Describe(*this)}));
}

// ---- typed getters -------------------------------------------------------------------------

#define HV_VARIANT_GET(Tag) \
  if (type_ != Tag) ThrowGetValue(Tag)

double Variant::GetDate() const {
  HV_VARIANT_GET(TDate);
  return payload_.real;
}
double Variant::GetDouble() const {
  HV_VARIANT_GET(TDouble);
  return payload_.real;
}
int32_t Variant::GetLong() const {
  HV_VARIANT_GET(TLong);
  return payload_.int32;
}
uint32_t Variant::GetULong() const {
  HV_VARIANT_GET(TULong);
  return payload_.uint32;
}
const std::u16string& Variant::GetString() const {
  HV_VARIANT_GET(TString);
  return *payload_.text;
}
int64_t Variant::GetLong64() const {
  HV_VARIANT_GET(TLong64);
  return payload_.int64;
}
uint64_t Variant::GetULong64() const {
  HV_VARIANT_GET(TULong64);
  return payload_.uint64;
}
AutoRef<Interface> Variant::GetInterface() const {
  HV_VARIANT_GET(TInterface);
  if (!payload_.ref.object) return {};
  payload_.ref.metaClass->AddRef(payload_.ref.object);
  return AutoRef<Interface>::Adopt(payload_.ref.object, payload_.ref.metaClass);
}
std::span<const uint8_t> Variant::GetBinary() const {
  HV_VARIANT_GET(TBinary);
  return payload_.binary->bytes;
}
const std::string& Variant::GetIdentifier() const {
  HV_VARIANT_GET(TIdentifier);
  return *payload_.identifier;
}
bool Variant::GetBool() const {
  HV_VARIANT_GET(TBool);
  return payload_.boolean;
}
const Variant& Variant::GetVariant() const {
  HV_VARIANT_GET(TVariant);
  return *payload_.nested;
}
Common::Error Variant::GetError() const {
  HV_VARIANT_GET(TError);
  return Common::Error(payload_.error);
}

#undef HV_VARIANT_GET

// ---- conversions -------------------------------------------------------------------------------

namespace {

// The value an object offers through its value interface, if any.
bool ValueOfObject(const AutoRef<Interface>& object, Variant& value) {
  AutoRef<ValueSource> source = object.Query<ValueSource>();
  if (!source) return false;
  value = source->GetValue();
  return true;
}

}  // namespace

std::u16string Variant::ToString() const {
  std::u16string out;
  if (!TryText(*this, out)) ThrowConversion(*this, TString);
  return out;
}

double Variant::ToDouble() const { return ToDoubleAt(0); }

bool Variant::TryText(const Variant& value, std::u16string& out, int depth) {
  const Payload& payload = value.payload_;
  switch (value.type_) {
    case TString:
      out = *payload.text;
      return true;
    case TEmpty:
      out.clear();
      return true;
    case TBool:
      out = payload.boolean ? u"true" : u"false";
      return true;
    case TIdentifier:
      out = Common::Utf8ToUtf16(*payload.identifier);
      return true;
    case TBinary:
      out = EncodeBase64(payload.binary->bytes);
      return true;
    case TDouble:
    case TLong:
    case TULong:
      out.clear();
      return FormatersHolder::Instance()->FormatLocale(value, out);
    case TLong64:
    case TULong64:
      out.clear();
      return FormatersHolder::Instance()->Decimal().Format(value, out);
    case TDate:
      out.clear();
      return payload.real == 0.0 || FormatersHolder::Instance()->FormatDate(payload.real, out);
    case TInterface: {
      Variant inner;
      if (depth >= kMaxValueDepth || !ValueOfObject(value.GetInterface(), inner)) return false;
      switch (inner.type_) {
        case TString:
        case TIdentifier:
        case TInterface:
        case TBinary:
          return TryText(inner, out, depth + 1);
        case TError:
          out = Common::FormatErrorMessage(inner.GetError());
          return true;
        default:
          return false;
      }
    }
    default:
      return false;
  }
}

double Variant::ToDoubleAt(int depth) const {
  switch (type_) {
    case TDate:
    case TDouble:
      return payload_.real;
    case TLong:
      return payload_.int32;
    case TULong:
      return payload_.uint32;
    case TLong64:
      return static_cast<double>(payload_.int64);
    case TULong64:
      return static_cast<double>(payload_.uint64);
    case TBool:
      return payload_.boolean ? 1.0 : 0.0;
    case TString:
    case TIdentifier: {
      double value = 0;
      const std::u16string text = type_ == TString ? *payload_.text : Common::Utf8ToUtf16(*payload_.identifier);
      if (ParseNumberText(text, value)) return value;
      break;
    }
    case TInterface: {
      Variant value;
      if (depth < kMaxValueDepth && ValueOfObject(GetInterface(), value)) return value.ToDoubleAt(depth + 1);
      break;
    }
    default:
      break;
  }
  ThrowConversion(*this, TDouble);
}

bool ParseNumberText(std::u16string_view text, double& value) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  if (text.empty() || text[0] < u'0' || text[0] > u'9') return false;
  RefPtr<FormatersHolder> holder = FormatersHolder::Instance();
  const bool hex = text.size() > 1 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X');
  size_t consumed = 0;
  const double integer = (hex ? holder->Hex() : holder->Decimal()).Parse(text, &consumed);
  if (consumed == text.size()) {
    value = integer;
    return true;
  }
  const double size = holder->ParseSize(text, &consumed);
  if (consumed != text.size() || !std::isfinite(size)) return false;
  value = size;
  return true;
}

// ---- Base64 ------------------------------------------------------------------------------------

std::u16string EncodeBase64(std::span<const uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::u16string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t v = uint32_t(bytes[i]) << 16 | (rest == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace Processor
