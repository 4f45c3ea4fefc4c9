#include "PortChoiceList.h"

#include "PlatformValues.h"

#include <boost/format.hpp>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

namespace vkprop
{

namespace
{

const char kCurrentMark[] = "(current setting)";
const char kInUseMark[] = "(in use)";

bool IsScanSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Where the driver records the name each of its keyers last published, one
// REG_SZ value per keyer named after its COM-port interface. Windows 10 1803
// and later give the driver a persistent-state key (State); before, it keeps
// them in Parameters, which an upgraded system still holds. A keyer in both
// has its current record in State.
const char kRecordsPath[] = "SYSTEM\\CurrentControlSet\\Services\\vkserial\\State";
const char kOlderRecordsPath[] = "SYSTEM\\CurrentControlSet\\Services\\vkserial\\Parameters";
const char kPortMapPath[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// GUID_DEVINTERFACE_COMPORT
const char kComPortInterfaceClass[] = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

struct NamedValue
{
    std::string name;
    PortMapValue value;
};

bool StartsWithIgnoringCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

// The values of a key under HKEY_LOCAL_MACHINE; none when it cannot be opened.
std::vector<NamedValue> ReadValues(PortMapCalls& calls, const char* path)
{
    constexpr std::uint32_t kBufferSize = 256;
    constexpr std::uint32_t kKeyQueryValue = 1;
    std::vector<NamedValue> values;
    KeyRef key = nullptr;
    if (!calls.OpenKey(path, kKeyQueryValue, key))
        return values;
    for (std::uint32_t index = 0;; ++index)
    {
        char name[kBufferSize];
        unsigned char data[kBufferSize];
        // RegEnumValueA overwrites both sizes with the lengths it returned.
        std::uint32_t nameSize = kBufferSize;
        std::uint32_t dataSize = kBufferSize;
        std::uint32_t type = 0;
        // Ends at the last value, and also at a value whose name or data does
        // not fit: the values after it are not examined.
        if (calls.EnumValue(key, index, name, nameSize, type, data, dataSize) != kErrorSuccess)
            break;
        // Registry strings need not be terminated, and a data length beyond
        // the buffer is no licence to read past it.
        const std::size_t size = dataSize < kBufferSize ? dataSize : kBufferSize;
        const void* end = std::memchr(data, 0, size);
        const std::size_t length = end ? static_cast<const unsigned char*>(end) - data : size;
        const std::size_t nameLength = nameSize < kBufferSize ? nameSize : kBufferSize - 1;
        values.push_back({std::string(name, nameLength),
                          {type, std::string(reinterpret_cast<const char*>(data), length)}});
    }
    calls.CloseKey(key);
    return values;
}

} // namespace

std::optional<int> PortChoiceList::ParseComNumber(const std::string& text)
{
    if (text.compare(0, 3, "COM") != 0)
        return std::nullopt;
    std::size_t i = 3;
    while (i < text.size() && IsScanSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        return std::nullopt;
    // A port name is typed by hand: saturate rather than overflow, which
    // keeps an absurdly long number outside 1..256 as sscanf's result would be.
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    {
        if (value <= INT_MAX)
            value = value * 10 + (text[i] - '0');
    }
    if (value > INT_MAX)
        value = INT_MAX;
    return static_cast<int>(negative ? -value : value);
}

PortsInUse PortChoiceList::MarkPortsInUse(const std::vector<PortMapValue>& values)
{
    PortsInUse inUse;
    for (const PortMapValue& value : values)
    {
        if (value.type != kRegSz)
            continue;
        std::optional<int> number = ParseComNumber(value.data);
        if (number && *number >= 1 && *number <= kPortRowCount)
            inUse.set(static_cast<std::size_t>(*number - 1));
    }
    return inUse;
}

PortsInUse PortChoiceList::ScanPortMap(PortMapCalls& calls)
{
    std::vector<PortMapValue> values;
    for (const NamedValue& value : ReadValues(calls, kPortMapPath))
        values.push_back(value.value);
    return MarkPortsInUse(values);
}

PortsInUse PortChoiceList::ScanPortsInUse(PortMapCalls& calls, const std::string& deviceInstanceId)
{
    PortsInUse inUse = ScanPortMap(calls);
    // The driver refuses a name that any object already holds, not only a
    // serial port's.
    for (int port = 1; port <= kPortRowCount; ++port)
    {
        if (calls.DosNameExists(("COM" + std::to_string(port)).c_str()))
            inUse.set(static_cast<std::size_t>(port - 1));
    }
    // The device's own record is the name it may take back.
    const std::string own = ComPortInterfaceName(deviceInstanceId);
    const std::vector<NamedValue> records = ReadValues(calls, kRecordsPath);
    std::vector<PortMapValue> othersRecords;
    for (const NamedValue& record : records)
    {
        if (!SameIgnoringCase(record.name, own))
            othersRecords.push_back(record.value);
    }
    for (const NamedValue& older : ReadValues(calls, kOlderRecordsPath))
    {
        const bool superseded =
            std::any_of(records.begin(), records.end(), [&older](const NamedValue& record) {
                return SameIgnoringCase(record.name, older.name);
            });
        if (!superseded && !SameIgnoringCase(older.name, own))
            othersRecords.push_back(older.value);
    }
    return inUse | MarkPortsInUse(othersRecords);
}

std::string PortChoiceList::ComPortInterfaceName(const std::string& deviceInstanceId)
{
    // The instance id with each backslash as #, then the class, under
    // \??\, as IoRegisterDeviceInterface names an interface.
    std::string path = deviceInstanceId;
    std::replace(path.begin(), path.end(), '\\', '#');
    return "\\??\\" + path + "#" + kComPortInterfaceClass;
}

std::vector<std::string> PortChoiceList::BuildPortRows(const PortsInUse& inUse, int currentNumber)
{
    std::vector<std::string> rows;
    rows.reserve(kPortRowCount);
    for (int port = 1; port <= kPortRowCount; ++port)
    {
        std::string row = (boost::format("COM%d") % port).str();
        // The device's own port normally stands in the map as well; it is
        // still shown as the current setting.
        if (port == currentNumber)
            row += kCurrentMark;
        else if (inUse.test(static_cast<std::size_t>(port - 1)))
            row += kInUseMark;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<std::size_t> PortChoiceList::FindPortRow(const std::vector<std::string>& rows,
                                                       const std::string& name)
{
    // Every row begins with the empty text, so an empty name would pick
    // COM1 as the device's port although none is stored: select nothing.
    if (name.empty())
        return std::nullopt;
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        if (StartsWithIgnoringCase(rows[i], name))
            return i;
    }
    return std::nullopt;
}

std::string PortChoiceList::PortNameFromText(const std::string& text)
{
    for (const char* mark : {kCurrentMark, kInUseMark})
    {
        if (EndsWith(text, mark))
            return text.substr(0, text.size() - std::char_traits<char>::length(mark));
    }
    return text;
}

int PortChoiceList::CurrentPortNumber(const std::string& currentPortName)
{
    return ParseComNumber(currentPortName).value_or(-1);
}

} // namespace vkprop
