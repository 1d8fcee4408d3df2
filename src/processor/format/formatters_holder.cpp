#include "processor/format/formatters_holder.h"

#include <mutex>

#include "processor/singleton.h"

namespace Processor {

FormatersHolder::FormatersHolder() = default;
FormatersHolder::~FormatersHolder() = default;

RefPtr<FormatersHolder> FormatersHolder::Instance() { return Singleton<FormatersHolder, true>::Instance(); }

bool FormatersHolder::FormatLocale(const Variant& value, std::u16string& out) {
  std::lock_guard<ProtectedObject> lock(*this);
  return locale_.Format(value, out);
}

bool FormatersHolder::FormatDate(double date, std::u16string& out) {
  std::lock_guard<ProtectedObject> lock(*this);
  return date_.Format(date, out);
}

double FormatersHolder::ParseSize(std::u16string_view text, size_t* consumed) {
  std::lock_guard<ProtectedObject> lock(*this);
  return size_.Parse(text, consumed);
}

std::u16string FormatersHolder::FormatSize(uint64_t bytes, int unit, int digits) {
  std::lock_guard<ProtectedObject> lock(*this);
  return size_.Format(bytes, unit, digits);
}

}  // namespace Processor
