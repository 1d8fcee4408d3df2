// Enumerations whose entries carry their names, built from declaration
// strings such as "TDate", "TDouble" or "kRed = 7".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Processor {

class string_enum {
 public:
  struct Entry {
    std::string name;
    int32_t value;
  };

  // Each declaration gives a name (up to the first NUL, tab, space or '=')
  // and optionally a value (the first decimal number after the name); an
  // entry without one takes the previous value + 1, the first 0.
  string_enum(std::string name, std::initializer_list<const char*> declarations);
  string_enum(std::string name, const std::vector<std::string>& declarations);

  const std::string& Name() const { return name_; }
  const std::vector<Entry>& Entries() const { return entries_; }

  // The first name with that value; throws 0x10073 when there is none.
  const std::string& ToString(int32_t value) const;
  // Non-throwing form: null when no entry has the value.
  const std::string* Find(int32_t value) const;
  std::optional<int32_t> FromString(std::string_view name) const;

 private:
  void Add(std::string_view declaration);

  std::string name_;
  std::vector<Entry> entries_;
};

}  // namespace Processor
