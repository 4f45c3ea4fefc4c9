// The SetupAPI and registry calls the settings store makes, in the shape of
// the ANSI functions behind them, so that the store runs over the real device
// on Windows and over an in-memory key in the host tests.
#pragma once

#include "PageContext.h"
#include "PlatformValues.h"

#include <cstdint>

namespace vkprop
{

class DeviceCalls
{
  public:
    virtual ~DeviceCalls() = default;

    // SetupDiOpenDevRegKey; false where it returns INVALID_HANDLE_VALUE.
    virtual bool OpenDevRegKey(const PageContext& device, std::uint32_t scope,
                               std::uint32_t hwProfile, std::uint32_t keyType, std::uint32_t access,
                               KeyRef& key) = 0;
    // RegCloseKey
    virtual void CloseKey(KeyRef key) = 0;

    // SetupDiGetDeviceRegistryPropertyA, no property type, no required size.
    virtual bool GetDeviceRegistryProperty(const PageContext& device, std::uint32_t property,
                                           char* buffer, std::uint32_t bufferSize) = 0;
    // SetupDiSetDeviceRegistryPropertyA
    virtual bool SetDeviceRegistryProperty(const PageContext& device, std::uint32_t property,
                                           const char* data, std::uint32_t size) = 0;

    // RegQueryValueExA, no type: size is the buffer size in, the data size
    // out. Returns a Win32 error code.
    virtual long QueryValue(KeyRef key, const char* name, void* buffer, std::uint32_t& size) = 0;
    // RegSetValueExA. Returns a Win32 error code.
    virtual long SetValue(KeyRef key, const char* name, std::uint32_t type, const void* data,
                          std::uint32_t size) = 0;

    // DoEnvironmentSubstA: expands %NAME% references in place.
    virtual void SubstituteEnvironment(char* buffer, std::uint32_t bufferSize) = 0;
};

} // namespace vkprop
