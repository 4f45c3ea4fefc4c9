// The registry side of the port choice list: which COM names the system's
// serial ports already use.
#include "PortChoiceList.h"

#include <windows.h>

#include <cstring>

namespace vkprop
{

PortsInUse PortChoiceList::ScanPortMap()
{
    HKEY map = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &map) != ERROR_SUCCESS)
        return PortsInUse();
    std::vector<PortMapValue> values;
    for (DWORD index = 0;; ++index)
    {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        // Ends at the last value, and also at a value whose name or data does
        // not fit: the values after it are not examined.
        if (RegEnumValueA(map, index, name, &nameSize, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS)
            break;
        // Registry strings need not be terminated: stop at the data's end.
        const void* end = std::memchr(data, 0, dataSize);
        const std::size_t length = end ? static_cast<const BYTE*>(end) - data : dataSize;
        values.push_back({type, std::string(reinterpret_cast<const char*>(data), length)});
    }
    RegCloseKey(map);
    return MarkPortsInUse(values);
}

} // namespace vkprop
