// In-memory stand-ins for the registry, SetupAPI, file and message calls the
// page makes, following the documented behaviour of the real functions.
//
// On odd data they are as unkind as the real functions may be: data comes
// back exactly as stored, of whatever type, with no terminator added (NT adds
// one to string types when there is room; the page must not count on it); a
// buffer too small gets ERROR_MORE_DATA with the size needed, and is filled
// to its last byte with the start of the data (its contents are undefined
// then), so that a buffer size larger than the real buffer shows as an
// overrun under AddressSanitizer.
#pragma once

#include "ApplyToDriver.h"
#include "DeviceCalls.h"
#include "PortPage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// setupapi.h's device element, reduced to what tells two devices apart.
struct _SP_DEVINFO_DATA
{
    int instance;
};

namespace vkprop::test
{

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;

constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegMultiSz = 7;

struct RegValue
{
    std::uint32_t type;
    std::vector<unsigned char> data;
};

inline RegValue Sz(const std::string& text)
{
    return {kRegSz, std::vector<unsigned char>(text.begin(), text.end())};
}

// Data of any type, exactly these bytes.
inline RegValue Bytes(std::uint32_t type, const std::string& bytes)
{
    return {type, std::vector<unsigned char>(bytes.begin(), bytes.end())};
}

inline RegValue SzWithTerminator(const std::string& text)
{
    RegValue value = Sz(text);
    value.data.push_back(0);
    return value;
}

inline RegValue Dword(std::uint32_t number)
{
    RegValue value{kRegDword, std::vector<unsigned char>(4)};
    std::memcpy(value.data.data(), &number, 4);
    return value;
}

inline std::uint32_t AsDword(const RegValue& value)
{
    std::uint32_t number = 0;
    std::memcpy(&number, value.data.data(), std::min<std::size_t>(4, value.data.size()));
    return number;
}

// Hands back stored data as the registry does: all of it when it fits,
// otherwise ERROR_MORE_DATA, the size needed, and a buffer filled to its end.
inline long ReturnData(const std::vector<unsigned char>& data, void* buffer, std::uint32_t& size)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (data.size() > size)
    {
        std::copy(data.begin(), data.begin() + size, bytes);
        size = static_cast<std::uint32_t>(data.size());
        return kErrorMoreData;
    }
    std::copy(data.begin(), data.end(), bytes);
    size = static_cast<std::uint32_t>(data.size());
    return kErrorSuccess;
}

// One device as Device Manager and the registry hold it.
struct FakeDeviceState
{
    std::map<std::string, RegValue> key; // the hardware key
    // Properties stored as REG_SZ with their terminator, the usual way.
    std::map<std::uint32_t, std::string> properties;
    // Properties stored any other way (type, length, no terminator); they
    // take precedence over the same property in properties.
    std::map<std::uint32_t, RegValue> oddProperties;
    bool keyOpens = true;
    int openKeys = 0;
};

class FakeDeviceCalls : public DeviceCalls
{
  public:
    // Identifies devices by their element pointer, as SetupAPI does.
    FakeDeviceState& Device(const PageContext& context)
    {
        return devices_[context.DeviceInfoData];
    }

    std::vector<std::string> log; // "open", "query KeyFunc 4", "set PortName 1 6", ...
    std::map<std::string, std::string> environment;

    bool OpenDevRegKey(const PageContext& device, std::uint32_t scope, std::uint32_t hwProfile,
                       std::uint32_t keyType, std::uint32_t access, KeyRef& key) override
    {
        log.push_back("open " + std::to_string(scope) + " " + std::to_string(hwProfile) + " " +
                      std::to_string(keyType) + " " + std::to_string(access));
        FakeDeviceState& state = Device(device);
        if (!state.keyOpens)
            return false;
        ++state.openKeys;
        key = &state;
        return true;
    }

    void CloseKey(KeyRef key) override
    {
        log.push_back("close");
        --static_cast<FakeDeviceState*>(key)->openKeys;
    }

    bool GetDeviceRegistryProperty(const PageContext& device, std::uint32_t property, char* buffer,
                                   std::uint32_t bufferSize) override
    {
        log.push_back("getprop " + std::to_string(property) + " " + std::to_string(bufferSize));
        FakeDeviceState& state = Device(device);
        std::vector<unsigned char> data;
        if (auto odd = state.oddProperties.find(property); odd != state.oddProperties.end())
            data = odd->second.data;
        else if (auto found = state.properties.find(property); found != state.properties.end())
            data.assign(found->second.c_str(), found->second.c_str() + found->second.size() + 1);
        else
            return false;
        // ERROR_INSUFFICIENT_BUFFER when the data does not fit.
        return ReturnData(data, buffer, bufferSize) == kErrorSuccess;
    }

    bool SetDeviceRegistryProperty(const PageContext& device, std::uint32_t property,
                                   const char* data, std::uint32_t size) override
    {
        log.push_back("setprop " + std::to_string(property) + " " + std::to_string(size));
        Device(device).oddProperties.erase(property);
        Device(device).properties[property] = std::string(data, strnlen(data, size));
        lastPropertySize = size;
        return true;
    }

    long QueryValue(KeyRef key, const char* name, void* buffer, std::uint32_t& size) override
    {
        log.push_back(std::string("query ") + name + " " + std::to_string(size));
        auto& values = static_cast<FakeDeviceState*>(key)->key;
        auto found = values.find(name);
        if (found == values.end())
            return kErrorFileNotFound;
        return ReturnData(found->second.data, buffer, size);
    }

    long SetValue(KeyRef key, const char* name, std::uint32_t type, const void* data,
                  std::uint32_t size) override
    {
        log.push_back(std::string("set ") + name + " " + std::to_string(type) + " " +
                      std::to_string(size));
        const auto* bytes = static_cast<const unsigned char*>(data);
        static_cast<FakeDeviceState*>(key)->key[name] = RegValue{type, {bytes, bytes + size}};
        return kErrorSuccess;
    }

    // Replaces %NAME% references with known variables, as DoEnvironmentSubstA
    // does, leaving the buffer unchanged when the result does not fit.
    void SubstituteEnvironment(char* buffer, std::uint32_t bufferSize) override
    {
        log.push_back("expand " + std::to_string(bufferSize));
        std::string text(buffer), result;
        for (std::size_t i = 0; i < text.size();)
        {
            std::size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
            auto variable = close == std::string::npos
                                ? environment.end()
                                : environment.find(text.substr(i + 1, close - i - 1));
            if (variable != environment.end())
            {
                result += variable->second;
                i = close + 1;
            }
            else
                result += text[i++];
        }
        if (result.size() < bufferSize)
            std::memcpy(buffer, result.c_str(), result.size() + 1);
    }

    std::uint32_t lastPropertySize = 0;

    // The log entries that write to the key or the device's properties.
    std::vector<std::string> Writes() const
    {
        std::vector<std::string> writes;
        for (const std::string& entry : log)
        {
            if (entry.rfind("set", 0) == 0)
                writes.push_back(entry);
        }
        return writes;
    }

  private:
    std::map<const void*, FakeDeviceState> devices_;
};

using KeyValues = std::vector<std::pair<std::string, RegValue>>;

// HARDWARE\DEVICEMAP\SERIALCOMM (values) and any other keys under
// HKEY_LOCAL_MACHINE: their values in the order RegEnumValueA returns them;
// and the DOS device names that exist.
class FakePortMapCalls : public PortMapCalls
{
  public:
    KeyValues values;
    std::map<std::string, KeyValues> otherKeys;
    std::set<std::string> dosNames;
    bool opens = true;
    int openKeys = 0;
    std::vector<std::string> log; // "open <path> 1", "enum 0 256 256", "close"

    bool OpenKey(const char* path, std::uint32_t access, KeyRef& key) override
    {
        log.push_back(std::string("open ") + path + " " + std::to_string(access));
        const auto other = otherKeys.find(path);
        if (!opens ||
            (other == otherKeys.end() && std::string(path) != "HARDWARE\\DEVICEMAP\\SERIALCOMM"))
            return false;
        ++openKeys;
        key = other == otherKeys.end() ? &values : &other->second;
        return true;
    }

    bool DosNameExists(const char* name) override
    {
        return dosNames.count(name) != 0;
    }

    // The name must fit with its terminator; one that does not gives
    // ERROR_MORE_DATA (and, as Wine does, as much of it as fits).
    long EnumValue(KeyRef key, std::uint32_t index, char* name, std::uint32_t& nameSize,
                   std::uint32_t& type, void* data, std::uint32_t& dataSize) override
    {
        log.push_back("enum " + std::to_string(index) + " " + std::to_string(nameSize) + " " +
                      std::to_string(dataSize));
        const KeyValues& keyValues = *static_cast<const KeyValues*>(key);
        if (index >= keyValues.size())
            return kErrorNoMoreItems;
        const auto& [valueName, value] = keyValues[index];
        type = value.type;
        if (valueName.size() >= nameSize)
        {
            if (nameSize > 0)
            {
                std::memcpy(name, valueName.data(), nameSize - 1);
                name[nameSize - 1] = 0;
            }
            nameSize = static_cast<std::uint32_t>(valueName.size());
            ReturnData(value.data, data, dataSize);
            return kErrorMoreData;
        }
        std::memcpy(name, valueName.c_str(), valueName.size() + 1);
        nameSize = static_cast<std::uint32_t>(valueName.size());
        return ReturnData(value.data, data, dataSize);
    }

    void CloseKey(KeyRef) override
    {
        log.push_back("close");
        --openKeys;
    }
};

class FakePortIoCalls : public PortIoCalls
{
  public:
    // Names of the ports that open, and whether their driver serves the reload.
    std::map<std::string, bool> ports;
    std::vector<std::string> log;
    std::vector<std::string> messages;
    std::vector<WindowRef> owners;

    bool CreatePortFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                        std::uint32_t disposition, std::uint32_t flags, FileRef& file) override
    {
        char line[80];
        std::snprintf(line, sizeof line, " %08X %u %u %u", access, shareMode, disposition, flags);
        log.push_back("open " + std::string(name) + line);
        // Object names are case-insensitive: com5 opens COM5.
        auto found = std::find_if(ports.begin(), ports.end(), [name](const auto& port) {
            return strcasecmp(port.first.c_str(), name) == 0;
        });
        if (found == ports.end())
            return false;
        file = &*found;
        return true;
    }

    bool SendDeviceControl(FileRef file, std::uint32_t code, void* input, std::uint32_t inputSize,
                           void* output, std::uint32_t outputSize,
                           std::uint32_t* bytesReturned) override
    {
        char line[160];
        std::snprintf(line, sizeof line, "control %08X %s %u %s %u %s", code, input ? "in" : "null",
                      inputSize, output ? "out" : "null", outputSize,
                      bytesReturned ? "count" : "nocount");
        log.push_back(line);
        return static_cast<std::pair<const std::string, bool>*>(file)->second;
    }

    void CloseFile(FileRef file) override
    {
        log.push_back("close " + static_cast<std::pair<const std::string, bool>*>(file)->first);
    }

    void ShowMessageBox(WindowRef owner, const char* text, const char* caption,
                        std::uint32_t type) override
    {
        log.push_back(std::string("message ") + (caption ? "caption" : "nocaption") + " " +
                      std::to_string(type));
        messages.push_back(text);
        owners.push_back(owner);
    }
};

// The dialog's controls as the real combo and check boxes behave.
class FakePageView : public PageView
{
  public:
    std::string deviceName;
    std::vector<std::string> portRows;
    std::string portText;
    std::vector<std::string> lineRows[2];
    int lineSelection[2] = {-1, -1};
    bool inverted[2] = {false, false};
    bool moreInfoVisible = true;
    bool portBoxMissing = false;

    void SetDeviceName(const std::string& name) override
    {
        deviceName = name;
    }
    void AddPortRows(const std::vector<std::string>& rows) override
    {
        PortBox();
        portRows.insert(portRows.end(), rows.begin(), rows.end());
    }
    void SelectPortRow(const std::string& prefix) override
    {
        PortBox();
        auto row = PortChoiceList::FindPortRow(portRows, prefix);
        if (row)
            portText = portRows[*row];
    }
    std::string GetPortText() override
    {
        PortBox();
        return portText;
    }
    void FillLineChoices(Line line) override
    {
        auto& rows = lineRows[static_cast<int>(line)];
        rows.insert(rows.end(), {"None", "DTR", "RTS"});
    }
    void SetLineSelection(Line line, int index) override
    {
        const int size = static_cast<int>(lineRows[static_cast<int>(line)].size());
        lineSelection[static_cast<int>(line)] = index >= 0 && index < size ? index : -1;
    }
    int GetLineSelection(Line line) override
    {
        return lineSelection[static_cast<int>(line)];
    }
    void SetInverted(Line line, bool value) override
    {
        inverted[static_cast<int>(line)] = value;
    }
    bool GetInverted(Line line) override
    {
        return inverted[static_cast<int>(line)];
    }
    void HideMoreInfo() override
    {
        moreInfoVisible = false;
    }

    std::string LineText(Line line) const
    {
        const int selection = lineSelection[static_cast<int>(line)];
        return selection < 0 ? "" : lineRows[static_cast<int>(line)][selection];
    }

  private:
    void PortBox() const
    {
        if (portBoxMissing)
            throw std::runtime_error("No item");
    }
};

} // namespace vkprop::test
