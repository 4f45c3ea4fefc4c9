// The page's access to the device's hardware key (PortName, KeyFunc, PttFunc,
// KeyLogic, PttLogic, SampleInfo) and to its friendly name.
#pragma once

#include "DeviceCalls.h"
#include "PageContext.h"

#include <optional>
#include <string>

namespace vkprop
{

// One store per page window: two property sheets open in one process each
// keep their own device, key and current port name.
class DeviceSettingsStore
{
  public:
    DeviceSettingsStore(DeviceCalls& calls, const PageContext& device);
    ~DeviceSettingsStore();
    DeviceSettingsStore(const DeviceSettingsStore&) = delete;
    DeviceSettingsStore& operator=(const DeviceSettingsStore&) = delete;

    std::string ReadDisplayName();
    void OpenDeviceKey();
    void ReadPortName();
    std::optional<std::uint32_t> ReadDword(const char* name);
    std::optional<std::string> ReadSampleInfo();

    void WritePortName(const std::string& portName);
    void WriteDword(const char* name, std::uint32_t value);
    void UpdateFriendlyName(const std::string& portName);

    // PortName as it stood at initialisation: the name under which the
    // running driver is published.
    const std::string& CurrentPortName() const
    {
        return currentPortName_;
    }

  private:
    DeviceCalls& calls_;
    PageContext device_;
    std::optional<KeyRef> key_;
    std::string currentPortName_;
};

} // namespace vkprop
