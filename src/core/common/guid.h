// GUIDs: value, text form, parsing, random generation; the random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Common {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  bool IsNull() const;
  friend bool operator==(const Guid& a, const Guid& b);
  friend bool operator<(const Guid& a, const Guid& b);

  // The 16-byte Windows layout: data1..data3 little-endian, then data4.
  void Store(uint8_t* out) const;
  static Guid Load(const uint8_t* in);
};

// "%08X-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X": upper case, 36 characters.
std::string GuidToText(const Guid& guid);
std::u16string GuidToWideText(const Guid& guid);
// Succeeds only when all eleven fields convert; lower case is accepted.
std::optional<Guid> ParseGuid(const char* text);
std::optional<Guid> ParseGuid(std::u16string_view text);

// A random version-4 GUID.
Guid GenerateGuid();
// Generation by kind; the random kind is the only one, any other asserts and
// gives nothing.
enum GuidKind : int { kRandomGuid = 0 };
std::optional<Guid> GenerateGuid(int kind);

// A new random GUID directly as UTF-16 text (for machine identities):
// "/dev/random" when it has 16 bytes ready, else "/dev/urandom", rand() when
// "/dev/random" cannot be opened. No version or variant bits are set.
std::u16string RuntimeGuidText();

// Fills the buffer from the process-wide random device.
void GetRandomBytes(void* buffer, size_t size);

}  // namespace Common
