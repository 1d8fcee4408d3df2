// Interface ids of the host contract: fixed, never reused.
#pragma once

#include <cstdint>

namespace VirtualWareRaw::InterfaceIds {
inline constexpr uint32_t Interface = 0x00000000;
inline constexpr uint32_t SafeVirtualServer = 0x6B13C1F6;
inline constexpr uint32_t VirtualWorkstation = 0x5B78D1D6;
inline constexpr uint32_t ObjectManager = 0x6257240F;
inline constexpr uint32_t FileServicesClient = 0x6ED70626;
inline constexpr uint32_t PropertySet = 0x6E784E10;
inline constexpr uint32_t SafeVMCollection = 0x5EF681F6;
inline constexpr uint32_t SafeVM = 0x405B29F6;
inline constexpr uint32_t SafeVMAccess = 0x600089F6;
inline constexpr uint32_t SafeHardDiskCollection = 0x5ED01CC8;
inline constexpr uint32_t SafeHardDisk = 0x4B651CC8;
inline constexpr uint32_t SafeRawHardDisk = 0x4E65D072;
// Agent-side objects handed to the plug-in.
inline constexpr uint32_t FileServices = 0x6ED70627;
inline constexpr uint32_t FileTracker = 0x4F1A7E11;
}  // namespace VirtualWareRaw::InterfaceIds
