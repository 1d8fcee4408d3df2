#include "core/common/guid.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/common/assert.h"
#include "core/common/byte_order.h"
#include "core/common/error.h"
#include "processor/format/formatters_holder.h"
#include "processor/utils/variant.h"

namespace Common {

bool Guid::IsNull() const { return *this == Guid{}; }

bool operator==(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 && std::memcmp(a.data4, b.data4, 8) == 0;
}

bool operator<(const Guid& a, const Guid& b) {
  uint8_t x[16], y[16];
  a.Store(x);
  b.Store(y);
  return std::memcmp(x, y, 16) < 0;
}

void Guid::Store(uint8_t* out) const {
  StoreLe32(out, data1);
  StoreLe16(out + 4, data2);
  StoreLe16(out + 6, data3);
  std::memcpy(out + 8, data4, 8);
}

Guid Guid::Load(const uint8_t* in) {
  Guid g;
  g.data1 = LoadLe32(in);
  g.data2 = LoadLe16(in + 4);
  g.data3 = LoadLe16(in + 6);
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

std::optional<Guid> GenerateGuid(int kind) {
  if (kind != kRandomGuid) {
    HV_ASSERT_TEXT("false");
    return std::nullopt;
  }
  return GenerateGuid();
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

namespace {

bool ReadFully(int fd, uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd, out + done, size - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      return false;
  }
  return true;
}

bool ReadDevice(const char* path, uint8_t* out, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ReadFully(fd, out, size);
  close(fd);
  return ok;
}

// /dev/random only when it would not block; it is opened per call because
// this path is rare (one identity per machine).
void RuntimeRandomBytes(uint8_t (&bytes)[16]) {
  const int fd = open("/dev/random", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    FillWithRand(bytes, sizeof bytes);
    return;
  }
  pollfd ready{fd, POLLIN, 0};
  bool done = false;
  if (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN)) done = read(fd, bytes, sizeof bytes) == sizeof bytes;
  close(fd);
  if (!done && !ReadDevice("/dev/urandom", bytes, sizeof bytes)) FillWithRand(bytes, sizeof bytes);
}

}  // namespace

std::u16string RuntimeGuidText() {
  uint8_t bytes[16];
  RuntimeRandomBytes(bytes);
  const Guid guid = Guid::Load(bytes);
  const Processor::RefPtr<Processor::FormatersHolder> holder = Processor::FormatersHolder::Instance();
  const Processor::NumberFormatHEX& hex = holder->Hex();
  std::u16string g;
  hex.Format(Processor::Variant(guid.data1), g, 8);
  g += u'-';
  hex.Format(Processor::Variant(unsigned{guid.data2}), g, 4);
  g += u'-';
  hex.Format(Processor::Variant(unsigned{guid.data3}), g, 4);
  g += u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) g += u'-';
    hex.Format(Processor::Variant(unsigned{guid.data4[i]}), g, 2);
  }
  if (g.length() != 36) HV_ASSERT_TEXT("g.length()==36");
  return g;
}

}  // namespace Common
