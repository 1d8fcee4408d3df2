// Error records built on the host side, with the host's own record kind.
#pragma once

#include <cstdint>
#include <string>

#include "hvplug/error.h"

namespace Contract {

inline constexpr uint32_t kReadCode = 0x40001;
inline constexpr uint32_t kEndOfFileCode = 0x40002;
inline constexpr uint32_t kWriteCode = 0x40003;
inline constexpr uint32_t kSeekCode = 0x40005;
inline constexpr uint32_t kOpenCode = 0x40007;
inline constexpr uint32_t kDeleteCode = 0x40008;
inline constexpr uint32_t kRenameCode = 0x40009;
inline constexpr uint32_t kCreateCode = 0x4000A;
inline constexpr uint32_t kNotSupportedCode = 0x4000E;
inline constexpr uint32_t kAccessDeniedCode = 0x40014;

// code with the system error number and the path the operation worked on.
Common::Error HostError(uint32_t code, const char* function, int systemError = 0, const std::string& path = {});

// UTF-16 names to and from the host's UTF-8 paths.
std::string Narrow(const std::u16string& text);
std::u16string Widen(const std::string& text);

}  // namespace Contract
