#include "processor/string_enum.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/common/error.h"

namespace Processor {

string_enum::string_enum(std::string name, std::initializer_list<const char*> declarations) : name_(std::move(name)) {
  for (const char* declaration : declarations) Add(declaration ? declaration : "");
}

string_enum::string_enum(std::string name, const std::vector<std::string>& declarations) : name_(std::move(name)) {
  for (const std::string& declaration : declarations) Add(declaration);
}

void string_enum::Add(std::string_view declaration) {
  size_t end = 0;
  while (end < declaration.size() && declaration[end] != '\0' && declaration[end] != '\t' && declaration[end] != ' ' &&
         declaration[end] != '=')
    ++end;
  Entry entry{std::string(declaration.substr(0, end)),
              entries_.empty() ? 0 : (entries_.back().value == INT32_MAX ? INT32_MAX : entries_.back().value + 1)};
  // The value is the first decimal number after the name, sign included.
  for (size_t i = end; i < declaration.size() && declaration[i] != '\0'; ++i) {
    const char c = declaration[i];
    const bool digit = c >= '0' && c <= '9';
    const bool signedDigit =
        (c == '-' || c == '+') && i + 1 < declaration.size() && declaration[i + 1] >= '0' && declaration[i + 1] <= '9';
    if (!digit && !signedDigit) continue;
    const std::string number(declaration.substr(i, declaration.find('\0', i) - i));
    errno = 0;
    long long value = std::strtoll(number.c_str(), nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    entry.value = static_cast<int32_t>(value);
    break;
  }
  entries_.push_back(std::move(entry));
}

const std::string* string_enum::Find(int32_t value) const {
  for (const Entry& entry : entries_)
    if (entry.value == value) return &entry.name;
  return nullptr;
}

const std::string& string_enum::ToString(int32_t value) const {
  if (const std::string* name = Find(value)) return *name;
  HV_THROW_ARGS(Code::kEnumValueToStringFailed, Msg::kEnumValueToStringFailed, "ToString", "ErrorValue,EnumTypeName",
                {Common::Utf8ToUtf16(std::to_string(value)), Common::Utf8ToUtf16(name_)});
}

std::optional<int32_t> string_enum::FromString(std::string_view name) const {
  for (const Entry& entry : entries_)
    if (entry.name == name) return entry.value;
  return std::nullopt;
}

}  // namespace Processor
