#include "processor/format/error_format.h"

#include <string_view>

#include "core/common/error.h"
#include "processor/format/message_format.h"

namespace Processor {

namespace {

// Calls f(name) for each argument name of the record but "$module".
template <class F>
void ForEachArgumentName(const Common::Error& error, F&& f) {
  const char* names = error.ArgumentNames();
  if (!names) return;
  std::string_view list(names);
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string name(list.substr(0, comma));
    if (!name.empty() && name != "$module") f(name);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

Variant ValueOf(const Common::Error& error, const std::string& name) {
  if (const char16_t* wide = error.GetWide(name.c_str())) return Variant(std::u16string_view(wide));
  if (const char* narrow = error.GetNarrow(name.c_str())) return Variant(std::string_view(narrow));
  return Variant(static_cast<unsigned long long>(error.GetNumber(name.c_str())));
}

}  // namespace

std::vector<std::pair<std::string, Variant>> ErrorFormatImpl::Arguments(const Common::Error& error) {
  std::vector<std::pair<std::string, Variant>> arguments;
  ForEachArgumentName(error, [&](const std::string& name) { arguments.emplace_back(name, ValueOf(error, name)); });
  return arguments;
}

Variant ErrorFormatImpl::Argument(const Common::Error& error, std::string_view name) {
  Variant value;
  ForEachArgumentName(error, [&](const std::string& candidate) {
    if (value.IsEmpty() && candidate == name) value = ValueOf(error, candidate);
  });
  return value;
}

std::u16string ErrorFormatImpl::Message(const Common::Error& error) {
  if (error.IsSuccess()) return {};
  const std::u16string message = error.Message();
  // strerror texts are no patterns.
  if (error.Code() == Common::kPosixErrorCode) return message;
  std::vector<Variant> values;
  for (auto& [name, value] : Arguments(error)) values.push_back(std::move(value));
  return formatter_.Format(message, values.data(), values.size());
}

std::u16string ErrorFormatImpl::FormatRecord(const Common::Error& error) {
  std::u16string out = Message(error);
  for (const auto& [name, value] : Arguments(error)) {
    out += u"\n    ";
    out += Common::Utf8ToUtf16(name);
    out += u" = ";
    out += formatter_.Format(u"{0}", &value, 1);
  }
  if (error.Function() || error.Source()) {
    const Variant location[] = {Variant(error.Function() ? error.Function() : ""),
                                Variant(error.Source() ? error.Source() : ""), Variant(error.Line())};
    out += formatter_.Format(u"\n    {0} : {1}({2,number,simple})", location, 3);
  }
  return out;
}

std::u16string ErrorFormatImpl::Format(const Common::Error& error) {
  std::u16string out;
  int count = 0;
  for (Common::Error record = error; record.IsFailure() && count < kMaxRecords; record = record.Cause(), ++count) {
    if (count > 0) out += u'\n';
    out += FormatRecord(record);
  }
  return out;
}

}  // namespace Processor
