// Error codes of the VHDX data path (facility 0x3C, the VHDX engine).
#pragma once

#include <cstdint>

namespace Vhdx::Codes {
inline constexpr uint32_t kBitmapIndexOutOfBounds = 0x3C0040;
inline constexpr uint32_t kUniteDisjointIntervals = 0x3C0041;
inline constexpr uint32_t kUnknownBlockState = 0x3C0042;
inline constexpr uint32_t kPartiallyPresentInNonDifferencing = 0x3C0043;
inline constexpr uint32_t kIntersectingDataBlock = 0x3C0044;
inline constexpr uint32_t kAccessBeyondAllocation = 0x3C0045;
inline constexpr uint32_t kSectorBitmapNotPresent = 0x3C0046;
inline constexpr uint32_t kNotAllSectorsRead = 0x3C0047;
inline constexpr uint32_t kOpenVhdxDirectoryFailed = 0x3C0048;
inline constexpr uint32_t kOpenVhdxFileFailed = 0x3C0049;
inline constexpr uint32_t kParentLinkageUndefined = 0x3C004A;
inline constexpr uint32_t kParentEntriesAbsent = 0x3C004B;
inline constexpr uint32_t kParentLinkageMismatch = 0x3C004C;
inline constexpr uint32_t kParentNotFound = 0x3C004D;
inline constexpr uint32_t kBufferOffsetOutOfBounds = 0x3C004E;
inline constexpr uint32_t kUnknownFileType = 0x3C004F;
inline constexpr uint32_t kFileTrackerNotFound = 0x3C0050;
inline constexpr uint32_t kFileNotTracked = 0x3C0051;
inline constexpr uint32_t kBatRegionTooSmall = 0x3C0052;
inline constexpr uint32_t kInvalidDiskGeometry = 0x3C0053;
inline constexpr uint32_t kParentChainTooDeep = 0x3C0054;
inline constexpr uint32_t kBatIndexOutOfBounds = 0x3C0055;
inline constexpr uint32_t kTrackerStateInvalid = 0x3C0056;
inline constexpr uint32_t kTrackerUnknownChangeId = 0x3C0057;
inline constexpr uint32_t kTrackerIoFailed = 0x3C0058;
inline constexpr uint32_t kDataStreamFailed = 0x3C0059;
inline constexpr uint32_t kBlockBeyondFileEnd = 0x3C0062;
inline constexpr uint32_t kAreaBeyondLimit = 0x3C0063;
}  // namespace Vhdx::Codes
