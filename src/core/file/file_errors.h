// Error codes of the file layer and the not-supported answer of defaults.
#pragma once

#include <cstdint>

#include "core/common/error.h"
#include "hvplug/file.h"

namespace FileLayer {

inline constexpr uint32_t kReadCode = 0x40001;
inline constexpr uint32_t kEndOfFileCode = 0x40002;
inline constexpr uint32_t kWriteCode = 0x40003;
inline constexpr uint32_t kDiskFullCode = 0x40004;
inline constexpr uint32_t kSeekCode = 0x40005;
inline constexpr uint32_t kNoMemoryCode = 0x40006;
inline constexpr uint32_t kOpenCode = 0x40007;
inline constexpr uint32_t kDeleteCode = 0x40008;
inline constexpr uint32_t kRenameCode = 0x40009;
inline constexpr uint32_t kCreateCode = 0x4000A;
inline constexpr uint32_t kNotReadyCode = 0x4000B;
inline constexpr uint32_t kReadOnlyCode = 0x4000C;
inline constexpr uint32_t kNotSupportedCode = 0x4000E;
inline constexpr uint32_t kNotFoundCode = 0x40011;
inline constexpr uint32_t kExistsCode = 0x40013;
inline constexpr uint32_t kAccessDeniedCode = 0x40014;
inline constexpr uint32_t kLockCode = 0x40017;

// Stores the not-supported error unless a failure is already stored.
// Always false, for use as a return value.
bool StoreNotSupported(file_object& object, const Common::ErrorSite& site);

}  // namespace FileLayer
