// Numbers the page passes to the platform, spelled once so that the logic
// builds on the host; the Win32 bindings check them against the SDK macros.
#pragma once

#include <cstdint>

namespace vkprop
{

using WindowRef = void*; // HWND
using KeyRef = void*;    // HKEY
using FileRef = void*;   // HANDLE

constexpr long kErrorSuccess = 0;

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegDword = 4;

constexpr std::uint32_t kSpdrpDeviceDesc = 0;
constexpr std::uint32_t kSpdrpFriendlyName = 12;

constexpr std::uint32_t kDicsFlagGlobal = 1;
constexpr std::uint32_t kDiregDev = 1;
constexpr std::uint32_t kKeyReadWrite = 0x2001F; // KEY_READ | KEY_WRITE

constexpr std::uint32_t kGenericReadWrite = 0xC0000000;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kMbOk = 0;

// The driver's private control: re-read KeyFunc, PttFunc, KeyLogic, PttLogic.
constexpr std::uint32_t IOCTL_KEYER_RELOAD_SETTINGS = 0x9C432000;

} // namespace vkprop
