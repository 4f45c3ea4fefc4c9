#include "DeviceSettingsStore.h"

#include <cstring>
#include <sstream>

namespace vkprop
{

namespace
{

constexpr std::uint32_t kNameBufferSize = 256;
constexpr std::uint32_t kDescriptionBufferSize = 255;

// Registry and property data need not end in a terminator: take the text up
// to the first one or to the end of what was returned, never beyond.
std::string TextFromBuffer(const char* buffer, std::size_t size)
{
    const void* end = std::memchr(buffer, '\0', size);
    return std::string(buffer, end ? static_cast<const char*>(end) - buffer : size);
}

} // namespace

DeviceSettingsStore::DeviceSettingsStore(DeviceCalls& calls, const PageContext& device)
    : calls_(calls), device_(device)
{
}

DeviceSettingsStore::~DeviceSettingsStore()
{
    // The key stays open through every apply of the page and goes with it.
    if (key_)
        calls_.CloseKey(*key_);
}

std::string DeviceSettingsStore::ReadDisplayName()
{
    char buffer[kNameBufferSize] = {};
    if (calls_.GetDeviceRegistryProperty(device_, kSpdrpFriendlyName, buffer, sizeof buffer))
        return TextFromBuffer(buffer, sizeof buffer);
    // A friendly name too long for the buffer may have left part of itself
    // there (the contents are undefined after a failure); a shorter
    // description stored without a terminator would run on into it.
    std::memset(buffer, 0, sizeof buffer);
    if (calls_.GetDeviceRegistryProperty(device_, kSpdrpDeviceDesc, buffer, sizeof buffer))
        return TextFromBuffer(buffer, sizeof buffer);
    return std::string();
}

void DeviceSettingsStore::OpenDeviceKey()
{
    if (key_)
    {
        calls_.CloseKey(*key_);
        key_.reset();
    }
    KeyRef key = nullptr;
    if (calls_.OpenDevRegKey(device_, kDicsFlagGlobal, 0, kDiregDev, kKeyReadWrite, key))
        key_ = key;
}

void DeviceSettingsStore::ReadPortName()
{
    currentPortName_.clear();
    if (!key_)
        return;
    char buffer[kNameBufferSize] = {};
    std::uint32_t size = sizeof buffer;
    if (calls_.QueryValue(*key_, "PortName", buffer, size) != kErrorSuccess)
        return;
    // At most 255 characters, even from data that fills the buffer unterminated.
    currentPortName_ = TextFromBuffer(buffer, size < sizeof buffer ? size : sizeof buffer - 1);
}

std::optional<std::uint32_t> DeviceSettingsStore::ReadDword(const char* name)
{
    if (!key_)
        return std::nullopt;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    if (calls_.QueryValue(*key_, name, &value, size) != kErrorSuccess)
        return std::nullopt;
    // Shorter data would leave the upper bytes at whatever they were; such a
    // value means nothing the driver defines, so it shows as missing.
    if (size != sizeof value)
        return std::nullopt;
    return value;
}

std::optional<std::string> DeviceSettingsStore::ReadSampleInfo()
{
    if (!key_)
        return std::nullopt;
    // One byte beyond the 256 the registry may fill, so that the expansion
    // always finds a terminator, even after unterminated data.
    char buffer[kNameBufferSize + 1] = {};
    std::uint32_t size = kNameBufferSize;
    if (calls_.QueryValue(*key_, "SampleInfo", buffer, size) != kErrorSuccess)
        return std::nullopt;
    calls_.SubstituteEnvironment(buffer, kNameBufferSize);
    return TextFromBuffer(buffer, kNameBufferSize);
}

void DeviceSettingsStore::WritePortName(const std::string& portName)
{
    if (!key_)
        return;
    calls_.SetValue(*key_, "PortName", kRegSz, portName.c_str(),
                    static_cast<std::uint32_t>(portName.size() + 1));
}

void DeviceSettingsStore::WriteDword(const char* name, std::uint32_t value)
{
    if (!key_)
        return;
    calls_.SetValue(*key_, name, kRegDword, &value, sizeof value);
}

void DeviceSettingsStore::UpdateFriendlyName(const std::string& portName)
{
    char buffer[kDescriptionBufferSize] = {};
    // Without a description the name would read " (COM7)"; the friendly name
    // the device already has is the better one to keep.
    if (!calls_.GetDeviceRegistryProperty(device_, kSpdrpDeviceDesc, buffer, sizeof buffer))
        return;
    std::ostringstream name;
    name << TextFromBuffer(buffer, sizeof buffer) << " (" << portName << ")";
    const std::string text = name.str();
    calls_.SetDeviceRegistryProperty(device_, kSpdrpFriendlyName, text.c_str(),
                                     static_cast<std::uint32_t>(text.size() + 1));
}

} // namespace vkprop
