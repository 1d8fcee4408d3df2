#include "core/common/guid.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/common/assert.h"
#include "core/common/error.h"

namespace Common {

bool Guid::IsNull() const { return *this == Guid{}; }

bool operator==(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, 8) == 0;
}

bool operator<(const Guid& a, const Guid& b) {
  uint8_t x[16], y[16];
  a.Store(x);
  b.Store(y);
  return std::memcmp(x, y, 16) < 0;
}

void Guid::Store(uint8_t* out) const {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(data1 >> (8 * i));
  out[4] = static_cast<uint8_t>(data2);
  out[5] = static_cast<uint8_t>(data2 >> 8);
  out[6] = static_cast<uint8_t>(data3);
  out[7] = static_cast<uint8_t>(data3 >> 8);
  std::memcpy(out + 8, data4, 8);
}

Guid Guid::Load(const uint8_t* in) {
  Guid g;
  g.data1 = uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
  g.data2 = static_cast<uint16_t>(in[4] | in[5] << 8);
  g.data3 = static_cast<uint16_t>(in[6] | in[7] << 8);
  std::memcpy(g.data4, in + 8, 8);
  return g;
}

std::string GuidToText(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X", g.data1, g.data2, g.data3,
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::u16string GuidToWideText(const Guid& guid) {
  const std::string text = GuidToText(guid);
  return std::u16string(text.begin(), text.end());
}

std::optional<Guid> ParseGuid(const char* text) {
  if (!text) {
    HV_ASSERT_TEXT("text");
    return std::nullopt;
  }
  Guid g;
  unsigned int d4[8];
  unsigned short d2, d3;
  unsigned int d1;
  if (std::sscanf(text, "%08X-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X", &d1, &d2, &d3, &d4[0], &d4[1], &d4[2],
                  &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]) != 11)
    return std::nullopt;
  g.data1 = d1;
  g.data2 = d2;
  g.data3 = d3;
  for (int i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(d4[i]);
  return g;
}

std::optional<Guid> ParseGuid(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) {
    if (c >= 0x80) return std::nullopt;
    narrow += static_cast<char>(c);
  }
  return ParseGuid(narrow.c_str());
}

Guid GenerateGuid() {
  uint8_t bytes[16];
  GetRandomBytes(bytes, sizeof bytes);
  Guid g = Guid::Load(bytes);
  g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);
  g.data3 = static_cast<uint16_t>((g.data3 & 0x0FFF) | 0x4000);
  return g;
}

namespace {

struct RandomDevice {
  int fd = -1;
  ~RandomDevice() {
    if (fd >= 0) close(fd);
  }
};

RandomDevice gRandomDevice;

void FillWithRand(uint8_t* out, size_t size) {
  static std::once_flag seeded;
  std::call_once(seeded, [] { std::srand(static_cast<unsigned>(std::time(nullptr))); });
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(std::rand());
}

}  // namespace

void GetRandomBytes(void* buffer, size_t size) {
  static std::once_flag opened;
  std::call_once(opened, [] { gRandomDevice.fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC); });
  auto* out = static_cast<uint8_t*>(buffer);
  if (gRandomDevice.fd < 0) {
    HV_ASSERT_TEXT("!\"Can't open random device\"");
    FillWithRand(out, size);
    return;
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t n = read(gRandomDevice.fd, out + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      HV_ASSERT_TEXT("!\"Can't read from random device\"");
      FillWithRand(out + done, size - done);
      return;
    }
  }
}

}  // namespace Common
