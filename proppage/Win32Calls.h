// The page logic's platform calls bound to SetupAPI, the registry, the file
// system and the window manager.
#pragma once

#include "ApplyToDriver.h"
#include "DeviceCalls.h"
#include "PortChoiceList.h"

#include <string>

namespace vkprop
{

class SetupApiDeviceCalls : public DeviceCalls
{
  public:
    bool OpenDevRegKey(const PageContext& device, std::uint32_t scope, std::uint32_t hwProfile,
                       std::uint32_t keyType, std::uint32_t access, KeyRef& key) override;
    void CloseKey(KeyRef key) override;
    bool GetDeviceRegistryProperty(const PageContext& device, std::uint32_t property, char* buffer,
                                   std::uint32_t bufferSize) override;
    bool SetDeviceRegistryProperty(const PageContext& device, std::uint32_t property,
                                   const char* data, std::uint32_t size) override;
    long QueryValue(KeyRef key, const char* name, void* buffer, std::uint32_t& size) override;
    long SetValue(KeyRef key, const char* name, std::uint32_t type, const void* data,
                  std::uint32_t size) override;
    void SubstituteEnvironment(char* buffer, std::uint32_t bufferSize) override;

    // SetupDiGetDeviceInstanceIdA; empty when it fails.
    std::string InstanceId(const PageContext& device);
};

class Win32PortMapCalls : public PortMapCalls
{
  public:
    bool OpenKey(const char* path, std::uint32_t access, KeyRef& key) override;
    long EnumValue(KeyRef key, std::uint32_t index, char* name, std::uint32_t& nameSize,
                   std::uint32_t& type, void* data, std::uint32_t& dataSize) override;
    void CloseKey(KeyRef key) override;
    bool DosNameExists(const char* name) override;
};

class Win32PortIoCalls : public PortIoCalls
{
  public:
    bool CreatePortFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                        std::uint32_t disposition, std::uint32_t flags, FileRef& file) override;
    bool SendDeviceControl(FileRef file, std::uint32_t code, void* input, std::uint32_t inputSize,
                           void* output, std::uint32_t outputSize,
                           std::uint32_t* bytesReturned) override;
    void CloseFile(FileRef file) override;
    void ShowMessageBox(WindowRef owner, const char* text, const char* caption,
                        std::uint32_t type) override;
};

} // namespace vkprop
