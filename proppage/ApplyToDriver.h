// Hands newly stored keying settings to a running driver through its COM port.
#pragma once

#include "PlatformValues.h"

#include <cstdint>
#include <string>

namespace vkprop
{

// The file and message calls of the live apply, in the shape of the ANSI
// functions behind them.
class PortIoCalls
{
  public:
    virtual ~PortIoCalls() = default;

    // CreateFileA, no security attributes, no template; false where it
    // returns INVALID_HANDLE_VALUE.
    virtual bool CreatePortFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                                std::uint32_t disposition, std::uint32_t flags, FileRef& file) = 0;
    // DeviceIoControl without an overlapped structure.
    virtual bool SendDeviceControl(FileRef file, std::uint32_t code, void* input,
                                   std::uint32_t inputSize, void* output, std::uint32_t outputSize,
                                   std::uint32_t* bytesReturned) = 0;
    // CloseHandle
    virtual void CloseFile(FileRef file) = 0;
    // MessageBoxA
    virtual void ShowMessageBox(WindowRef owner, const char* text, const char* caption,
                                std::uint32_t type) = 0;
};

// portName is the name the driver was published under when the page opened,
// not a name stored since: the driver takes a new name only at its next start.
void ApplyToDriver(PortIoCalls& calls, const std::string& portName, WindowRef owner);

} // namespace vkprop
